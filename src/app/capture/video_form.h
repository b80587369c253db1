// The encoder steps of the video form ("H265"): the encoder channel of the channel definition,
// created at its size and rate (CBR, GOP of one second) and registered to its group, and the
// video form's bring-up after the definition is prepared.
#pragma once

int encoder_init();
int encoder_exit();
int T31_init_h265();
