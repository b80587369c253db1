// What a power cut can leave of the last capture on a partition, and its removal before
// anything (a move, an upload, the counter) uses it.
//
// The encoder writes beside a picture's name and renames, and encryption does the same; the
// steps whose commands are fixed write in place (the video's multiplexer, exiv2, the moves of
// the preview frames from /tmp). A cut during one of them leaves a file cut short under its
// final name, which can only be the last capture's: the highest number of the highest folder.
#pragma once

#include <string>

// True when the file at `path` is whole: an encrypted file (written beside and renamed), a
// JPEG that ends with its end-of-image marker, or an MP4 whose boxes reach exactly the end of
// the file and include the movie box. False for anything cut short or missing.
bool jpeg_whole(const std::string& path);
bool mp4_whole(const std::string& path);

// On the partition at `root` (when its DCIM folder can be read): removes the files of the
// highest number of the highest media folder, and their TRANSMIT copies, that are not whole,
// and what the encoder and the encryption left beside pictures there (".NAME.part",
// "_NAME"). Each removal is logged.
void remove_broken_last_capture(const char* root);
