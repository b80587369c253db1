// Port set-up on a pseudo-terminal, which honours the same terminal settings as a serial port.
#include "app/links/serial_port.h"

#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/unit/links/link_test_support.h"

namespace links_test {
namespace {

class SerialPortTest : public testing::Test {
 protected:
  void SetUp() override { clear_app_log(); }
};

TEST_F(SerialPortTest, ConfigureGivesRawEightBitsTwoStopBitsAndHalfSecondReads) {
  int peer = -1;
  int port = -1;
  ASSERT_EQ(openpty(&peer, &port, nullptr, nullptr, nullptr), 0);
  termios cooked{};
  ASSERT_EQ(tcgetattr(port, &cooked), 0);
  cooked.c_lflag |= ICANON | ECHO | ISIG;
  cooked.c_iflag |= ICRNL | IXON | ISTRIP;
  cooked.c_oflag |= OPOST;
  cooked.c_cflag |= PARENB | CRTSCTS;
  ASSERT_EQ(tcsetattr(port, TCSANOW, &cooked), 0);

  ASSERT_EQ(configure_port(port, B115200), 0);
  termios settings{};
  ASSERT_EQ(tcgetattr(port, &settings), 0);
  EXPECT_EQ(cfgetispeed(&settings), static_cast<speed_t>(B115200));
  EXPECT_EQ(cfgetospeed(&settings), static_cast<speed_t>(B115200));
  EXPECT_EQ(settings.c_iflag & (IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON),
            0u);
  EXPECT_EQ(settings.c_oflag & OPOST, 0u);
  EXPECT_EQ(settings.c_lflag & (ECHO | ECHONL | ICANON | ISIG | IEXTEN), 0u);
  EXPECT_EQ(settings.c_cflag & (PARENB | CRTSCTS), 0u);
  EXPECT_EQ(settings.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_NE(settings.c_cflag & CSTOPB, 0u) << "two stop bits";
  EXPECT_NE(settings.c_cflag & CREAD, 0u);
  EXPECT_NE(settings.c_cflag & CLOCAL, 0u);
  EXPECT_EQ(settings.c_cc[VMIN], 0);
  EXPECT_EQ(settings.c_cc[VTIME], 5);
  close(port);
  close(peer);
}

TEST_F(SerialPortTest, ConfigureRefusesWhatIsNotATerminal) {
  int pipeEnds[2];
  ASSERT_EQ(pipe(pipeEnds), 0);
  EXPECT_EQ(configure_port(pipeEnds[0], B115200), -1);
  EXPECT_EQ(log_messages("MCU_UART", "ERR"),
            std::vector<std::string>{"Error from tcgetattr: Inappropriate ioctl for device"});
  close(pipeEnds[0]);
  close(pipeEnds[1]);
}

// A port that cannot be opened: the link loop's test of a link thread without its port.
TEST_F(SerialPortTest, OpenKeepsTheDescriptor) {
  PtyPair pty;
  mcuPortPath = pty.port_path();
  ASSERT_EQ(open_mcu_port(), 0);
  EXPECT_GE(mcuPort, 0);
  termios settings{};
  ASSERT_EQ(tcgetattr(mcuPort, &settings), 0);
  EXPECT_NE(settings.c_cflag & CSTOPB, 0u);
  close(mcuPort);
  mcuPortPath = "/dev/ttyS1";
}

}  // namespace
}  // namespace links_test
