#include "app/system/thread_table.h"

#include "app/AV-Common.h"
#include "app/capture/capture_orchestration.h"
#include "app/capture/photo_capture.h"
#include "app/capture/video_preview.h"
#include "app/indicators/indicators.h"
#include "app/indicators/leds/led_state.h"
#include "app/indicators/leds/warning_light.h"
#include "app/links/mcu/mcu_link_manager.h"
#include "app/links/modem/modem_link_manager.h"
#include "app/records/log/app_log.h"
#include "app/storage/sd_monitor.h"
#include "app/system/states/instant_request.h"
#include "app/system/states/sync_states.h"

const ThreadTable kThreadBodies = {
    .warning_led = warning_led_thread,
    .ev_wait = photo_capture_thread,
    .capture_top_half = capture_top_half,
    .sensor_release = sensor_deinit_thread,
    .led_manager = led_manager_thread,
    .mcu_link_manager = mcu_link_manager_thread,
    .modem_link_manager = modem_link_manager_thread,
    .capture_photo_video = normal_capture_thread,
    .sd_card_monitor = sd_monitor_thread,
    .video_preview = preview_thread,
    .modem_sync_timeout = modem_sync_timeout_thread,
    .instant_request = instant_request_thread,
    .format_button = format_button_monitor_thread,
    .format_enable = format_button_handler_thread,
};
