// Exports of the GPIO lines that start-up sets up itself.
#pragma once

// GPIO 8 switches the thermistor's reference voltage.
int export_gpio8();
// GPIO 42 drives the warning LED.
int export_gpio42();
