# The layers of src/app, lowest first, as the libraries of src/app/CMakeLists.txt link them: a
# file may include headers of its own layer and of lower layers, never of a higher one
# (CheckLayers.cmake enforces it). An entry is a folder under app/; the deepest entry that holds
# a file gives its layer. Where a subsystem spans layers, each layer has a subfolder of its own
# (system/core, records/log, ...), so the folder names say what a file may include.
#
# The two files beside the subsystem folders, AV-Common (the media session, which belongs to
# capture) and main, are named by file.
set(CAMERA_APP_LAYERS
    # camera_os: shell commands, sleeps and the wall clock, as a test can replace them
    system/os:0
    # camera_log: the application log
    records/log:0
    # camera_system_core: queues, event message, shell, shared record, status LED, GPIO
    # export, state names, watchdog client, temperature, wall clock
    system/core:1
    # camera_link_proto: the message sets
    links/proto:2
    # camera_records: reboot log and boot tags
    records:3
    # camera_config
    config:4
    # camera_links: serial port, frame codec, link loop
    links:5
    # the two link managers
    links/mcu:6
    links/modem:6
    # camera_led: the LED records, the LED manager, the warning light and the requests the card
    # code makes of them
    indicators/leds:7
    # camera_storage
    storage:8
    # camera_naming and camera_log_archive, on the card code
    postprocess/naming:9
    records/archive:9
    # camera_indicators (displays, format button), camera_postprocess, camera_capture
    indicators:10
    postprocess:10
    capture:11
    AV-Common:11
    # camera_system: start-up, the state machine, the thread table, boot records and the sync
    # timeout, and the states it runs; camera_app
    system:12
    system/states:12
    main:13)

# What the board library (sim/board) may include besides its own headers: the libraries below
# it (the peers, the MCU peer, the tag store and its boot loader, the clock page). Its parts are
# built above it and put together in sim/assembly, so a part's header is never among these.
set(SIM_BOARD_BELOW
    peers/
    mcu/mcu_peer.h
    tagstore/tag_store.h
    tagstore/boot_loader.h
    clock/board_clock_page.h)
