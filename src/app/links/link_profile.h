// What differs between the MCU link and the Modem link: limits, log module and log texts.
// The frame, the receiver and the loop are the same code for both.
#pragma once

#include <cstddef>

#include "app/records/log/app_log.h"

struct LinkProfile {
  LogModule module;
  // The sender encodes into this many bytes; a larger message fails to encode.
  std::size_t encodeBufferSize;
  // The outgoing frame after stuffing must fit this many bytes; a longer one is refused.
  std::size_t frameBufferSize;
  // The receiver refuses frames announcing this many payload bytes or more.
  std::size_t receiveLengthLimit;

  // Sender.
  const char* sentDump;      // DEBUG, before the byte dump
  const char* bytesWritten;  // DEBUG, %d frame length
  const char* linkName;      // in our own refusal text

  // Receiver.
  const char* lengthBytes;    // DEBUG, %02x second then first length byte
  const char* lengthRefused;  // ERR, %d length
  const char* checksumBytes;  // DEBUG, %02x checksum byte 1 then byte 0
  const char* receivedDump;   // DEBUG, before the byte dump
  const char* checksumError;  // ERR, %02x received, computed, stop byte

  // Loop.
  const char* portOpened;          // %d descriptor
  const char* waitTimeout;         // the wait time ran out
  const char* selectFailed;        // select failed
  const char* receiveFailed;       // a record could not be taken from the queue
  const char* receiveErrorPrefix;  // printed with the system error after receiveFailed, or null
  const char* firstByte;           // %02x the byte that may start a frame
  const char* strayByte;           // %02x a byte outside any frame
};

inline constexpr LinkProfile kMcuLink = {
    .module = MOD_MCU_UART,
    .encodeBufferSize = 910,
    .frameBufferSize = 912,
    .receiveLengthLimit = 100,
    .sentDump = "Data sent to MCU : ",
    .bytesWritten = "No of bytes writen to MCU : %d",
    .linkName = "MCU",
    .lengthBytes = "Payload byte received from MCU : payload[1] : %02x payload[0] : %02x",
    .lengthRefused = "Error MCU Read payload size : %d",
    .checksumBytes = "CRC byte received from mcu : crc[1] : %02x crc[0] : %02x",
    .receivedDump = "Data received from MCU : ",
    .checksumError = "Error : CRC mcu %02x : checksum isp : %02x : stop byte : %02x",
    .portOpened = "mcu uart : %d",
    .waitTimeout = "Timeout : MCU Manager waiting for message",
    .selectFailed = "ERROR : MCU Uart",
    .receiveFailed = "[MCU Manager Thread] bytes_read == -1",
    .receiveErrorPrefix = nullptr,
    .firstByte = "First Byte received over mcu uart : %02x",
    .strayByte = "ERROR : mcu_uart val %02x",
};

inline constexpr LinkProfile kModemLink = {
    .module = MOD_MODEM_UART,
    .encodeBufferSize = 256,
    .frameBufferSize = 256,
    .receiveLengthLimit = 2250,
    .sentDump = "Data sent to MODEM : ",
    .bytesWritten = "No of bytes writen to Modem : %d",
    .linkName = "Modem",
    .lengthBytes = "Payload byte received from Modem : payload[1] : %02x payload[0] : %02x",
    .lengthRefused = "Error : Modem read payload size : %d",
    .checksumBytes = "CRC byte received from modem: crc[1] : %02x crc[0] :%02x",
    .receivedDump = "Data received from MODEM : ",
    .checksumError = "Error : CRC modem %02x : checksum isp : %02x : stop byte : %02x",
    .portOpened = "modem uart :  %d",
    .waitTimeout = "Timeout : MODEM Manager waiting for message",
    .selectFailed = "ERROR :Modem Uart",
    .receiveFailed = "[Modem Manager Thread] bytes_read == -1",
    .receiveErrorPrefix = "mq_receive modemq",
    .firstByte = "First Byte received over modem uart: %02x",
    .strayByte = "ERROR : modem_uart val %02x",
};

// The largest frame limits of both links, for buffers shared by the two.
inline constexpr std::size_t kMaxEncodeBufferSize = 910;
inline constexpr std::size_t kMaxFrameBufferSize = 912;
inline constexpr std::size_t kMaxReceiveLength = 2250;
static_assert(kMcuLink.encodeBufferSize <= kMaxEncodeBufferSize &&
              kModemLink.encodeBufferSize <= kMaxEncodeBufferSize);
static_assert(kMcuLink.frameBufferSize <= kMaxFrameBufferSize &&
              kModemLink.frameBufferSize <= kMaxFrameBufferSize);
static_assert(kMcuLink.receiveLengthLimit <= kMaxReceiveLength &&
              kModemLink.receiveLengthLimit <= kMaxReceiveLength);
