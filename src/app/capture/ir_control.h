// Infrared illumination and the IR-cut filter: the filter coil (GPIO 38 night, GPIO 41 day,
// pulsed for 100 ms) and the two infrared LED banks (GPIO 49 lowglow, GPIO 50 noglow).
#pragma once

// Positions the filter for this run's light, at most once per process and never on a
// capture boot (the boot capture keeps the position the previous run left).
void set_ir_cut_filter();

// Switches the infrared LEDs on for a capture at night (or after a night capture).
void ir_led_on();

// Switches the infrared LEDs off when they are on. On model 1, with the Modem not yet asked for
// and the installation date known, then runs the after-capture decision hook.
void ir_led_off();

// Switches the infrared LEDs off at the end of a capture or on its failure. On a capture boot
// after a night capture the boot firmware lit them, not this process: they are marked on first,
// so that the switch-off acts.
void ir_led_off_after_capture();

// The after-capture decision the IR control runs on model 1 (the capture states set it while
// they run; nothing runs while it is null).
using IrOffDecision = void (*)();
void set_ir_off_decision(IrOffDecision decision);

// Calls of set_ir_cut_filter() in this process.
int ir_cut_count();

// Back to the state of a new process (tests).
void reset_ir_control();
