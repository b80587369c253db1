#include "app/postprocess/photo_sizes.h"

#include <array>
#include <cstdio>

#include "app/postprocess/naming/media_names.h"

namespace {

struct SizeRow {
  int index;
  PhotoDimensions size;  // {0, 0}: the configured small size
  bool transmit;         // the TRANSMIT copy rather than a DCIM photo
  bool highResolution;   // HDnnnn.JPG rather than PICTnnnn.JPG
};

constexpr std::array<SizeRow, 6> kSizes = {{
    {0, {1920, 1080}, false, false},
    {1, {7680, 4320}, false, true},
    {5, {0, 0}, true, false},
    {6, {8064, 4536}, false, true},
    {7, {8432, 4744}, false, true},
    {8, {7056, 3968}, false, true},
}};

// High-resolution index by orve_model; other models use 8064x4536.
constexpr std::array<int, 10> kHighResolutionByModel = {1, 6, 6, 6, 6, 6, 6, 8, 7, 7};

const SizeRow* row_of(int index) {
  for (const SizeRow& row : kSizes) {
    if (row.index == index) {
      return &row;
    }
  }
  return nullptr;
}

}  // namespace

PhotoDimensions small_copy_size(int previewWidth) {
  int height = previewWidth * 1080 / 1920;
  if (height % 2 != 0) {
    height += 1;
  }
  return {previewWidth, height};
}

int high_resolution_index(int orveModel) {
  return orveModel >= 0 && orveModel < static_cast<int>(kHighResolutionByModel.size())
             ? kHighResolutionByModel[orveModel]
             : 6;
}

PhotoDimensions photo_dimensions(int index, int previewWidth) {
  const SizeRow* row = row_of(index);
  if (row == nullptr) {
    return {0, 0};
  }
  return row->transmit ? small_copy_size(previewWidth) : row->size;
}

std::string photo_path(int index, const char* root, int folder, int file) {
  const SizeRow* row = row_of(index);
  if (row == nullptr) {
    return std::string();
  }
  char path[256];
  if (row->transmit) {
    std::snprintf(path, sizeof path, kUploadPhotoName, root, file);
  } else {
    std::snprintf(path, sizeof path, row->highResolution ? kHdPhotoName : kPhotoName, root, folder,
                  file);
  }
  return path;
}
