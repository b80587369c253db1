// Maintenance of the card: the format into the camera's two-partition layout, and the repair of
// one partition by the FAT checker.
#pragma once

// Repartitions the whole card (partition 2 of 1 GiB at the start, partition 1 over the rest,
// both FAT32) and leaves both mounted and empty. 0 on success, -1 when the table or a file
// system could not be made. Blocks for several seconds.
int format_sd_card();

// Unmounts partition 1 or 2, lets the FAT checker repair it, mounts it again and removes the
// files in which the checker saved rescued chains. Always 0.
int repair_partition(int partition);
