// The sizes the photo pipeline encodes and the files they go to.
#pragma once

#include <string>

// Output size indices: 0 the 1920x1080 photo, 5 the small upload copy, 1, 6, 7, 8 the
// high-resolution photos; other indices make nothing.
inline constexpr int kPhotoSizeNormal = 0;
inline constexpr int kPhotoSizeSmall = 5;

struct PhotoDimensions {
  int width;
  int height;
};

// The small copy's size: the configured width, the height in 16:9 rounded up to even.
PhotoDimensions small_copy_size(int previewWidth);

// The high-resolution size index of a camera model.
int high_resolution_index(int orveModel);

// Size of an index (the small copy from `previewWidth`); {0, 0} for an index that makes
// nothing.
PhotoDimensions photo_dimensions(int index, int previewWidth);

// The file an index goes to under `root`, for folder and file number; empty for an index
// that makes nothing.
std::string photo_path(int index, const char* root, int folder, int file);
