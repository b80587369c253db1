// The move of media from the secondary partition to the primary: the photos and videos taken
// while the primary was with the Modem join the others once it is back.
#pragma once

// Runs "cp -r /sdcard/secondary/DCIM/* /sdcard/primary/DCIM/", "rm -r
// /sdcard/secondary/DCIM/*DSCIM/*", "mv /sdcard/secondary/TRANSMIT/* /sdcard/primary/TRANSMIT/"
// and "sync", except where those would lose a picture:
// - a file whose name the primary already holds with other contents (not the same file, nor
//   the first part of it that a power cut left of an earlier move) is neither copied over it
//   nor removed: both stay, the secondary's where it is (logged), and the others move file by
//   file;
// - only files whose copy reached the primary whole are removed from the secondary; a copy cut
//   short (a full primary) is removed from the primary and its source stays (logged).
// The caller checks first that the primary is usable. Returns the number of files left on the
// secondary.
int move_secondary_media();
