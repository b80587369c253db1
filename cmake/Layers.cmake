# The layers of src/app, lowest first, as the libraries of src/app/CMakeLists.txt link them: a
# file may include headers of its own layer and of lower layers, never of a higher one
# (CheckLayers.cmake enforces it). An entry is a folder or a file name without its extension
# under app/; the deepest entry that holds a file gives its layer.
#
# Where one folder still holds two layers, the lower layer's files are listed by name.
set(CAMERA_APP_LAYERS
    # camera_log: the application log
    records/app_log:0
    # camera_system_core: queues, event message, shell, shared record, status LED, GPIO
    # export, state names, watchdog client, temperature reading
    system/event_code_names:1
    system/event_message:1
    system/event_queue:1
    system/gpio_export:1
    system/shell:1
    system/state_names:1
    system/status_led:1
    system/sys_info:1
    system/temperature:1
    system/temperature_reading:1
    system/wall_clock:1
    system/watchdog_client:1
    # camera_link_proto, camera_records, camera_config, camera_links, the two link managers
    links/proto:2
    records:3
    config:4
    links:5
    links/mcu:6
    links/modem:6
    # camera_led: the LED records, the LED manager and the warning light, and the requests
    # the card code makes of them (indicators.h still declares the format button's too)
    indicators/indicators:7
    indicators/led_manager:7
    indicators/led_requests:7
    indicators/led_state:7
    indicators/warning_light:7
    storage/led_requests:7
    # camera_storage; above it camera_naming and camera_log_archive
    storage:8
    postprocess/last_capture:9
    postprocess/media_names:9
    records/log_archive:9
    # camera_indicators (displays, format button), camera_postprocess, camera_capture
    indicators:10
    postprocess:10
    capture:11
    AV-Common:11
    # camera_system: start-up, the state machine and the states; camera_app
    system:12
    main:13)
