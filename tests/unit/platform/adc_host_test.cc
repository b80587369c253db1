// The host ADC seam behaves as the driver: no sample before the reference is set and the
// channel enabled, samples limited to the reference, unknown requests refused.
#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "platform/adc/adc_device.h"

#include "tests/support/file_lines.h"

namespace {

TEST(AdcHost, SamplesOnlyOnceEnabledAndWithinTheReference) {
  test_support::TempDir dir;
  const std::string device = dir.path() + "/jz_adc_aux_0";
  std::ofstream(device) << "1234\n";
  int fd = open(device.c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  int32_t sample = -1;
  EXPECT_EQ(adc_read(fd, &sample, sizeof(sample)), -1);  // not enabled
  EXPECT_EQ(adc_ioctl(fd, ADC_ENABLE, 0), -1);           // no reference yet
  EXPECT_EQ(adc_ioctl(fd, ADC_SET_VREF, 0), -1);
  EXPECT_EQ(adc_ioctl(fd, 7, 0), -1);
  EXPECT_EQ(errno, ENOTTY);
  ASSERT_EQ(adc_ioctl(fd, ADC_SET_VREF, 1800), 0);
  ASSERT_EQ(adc_ioctl(fd, ADC_ENABLE, 0), 0);
  ASSERT_EQ(adc_read(fd, &sample, sizeof(sample)), 4);
  EXPECT_EQ(sample, 1234);
  // The board changes the pin's voltage; the converter saturates at its reference.
  std::ofstream(device) << "2500\n";
  ASSERT_EQ(adc_read(fd, &sample, sizeof(sample)), 4);
  EXPECT_EQ(sample, 1800);
  ASSERT_EQ(adc_ioctl(fd, ADC_DISABLE, 0), 0);
  EXPECT_EQ(adc_read(fd, &sample, sizeof(sample)), -1);
  close(fd);
  EXPECT_EQ(adc_ioctl(fd, ADC_ENABLE, 0), -1);  // closed
}

}  // namespace
