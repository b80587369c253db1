// What a power cut can leave of a capture on the card, and its removal before anything (a
// move, an upload, the counter) uses it.
//
// The encoder writes beside a picture's name and renames, and encryption does the same; the
// steps whose commands are fixed write in place (the video's multiplexer, exiv2, the moves of
// the preview frames from /tmp). A cut during one of them leaves a file cut short under its
// final name. While a capture's files are written, a marker in the partition's root names the
// capture; a marker still there at the next start says which files to look at.
#pragma once

#include <string>

// The marker of the capture being post-processed: written when made, removed when destroyed
// (a power cut leaves it). `root` is the partition root the capture's files go to.
class CaptureMarker {
 public:
  CaptureMarker(const char* root, int folder, int file);
  ~CaptureMarker();
  CaptureMarker(const CaptureMarker&) = delete;
  CaptureMarker& operator=(const CaptureMarker&) = delete;

 private:
  std::string path_;
};

// True when the file at `path` is whole: an encrypted file (written beside and renamed), a
// JPEG that ends with its end-of-image marker, or an MP4 whose boxes reach exactly the end of
// the file and include the movie box. False for anything cut short or missing.
bool jpeg_whole(const std::string& path);
bool mp4_whole(const std::string& path);

// When the partition at `root` holds a capture's marker: removes the files of that capture
// (photo, HD photo, video, their TRANSMIT copies and previews) that are not whole, and what the
// encoder and the encryption left beside pictures in its folder and in TRANSMIT (".NAME.part",
// "_NAME"), then the marker. Each removal is logged.
void remove_broken_last_capture(const char* root);
