// The one serial line of the program: opening the device exclusively, configuring it raw at the
// chosen speed, reading with a short time-out through a read-ahead buffer, gathering writes, and
// restoring the device's own settings on close. Failures print a message that names the
// operation, the device and the system's reason; results are returned, never recorded as errors.
#pragma once

#include <cstddef>
#include <string>

// True when `baud` is a standard speed from 300 to 4000000.
bool port_baud_supported(long baud);
// Chooses the device and speed that `port_open` uses.
void port_configure(const char* device, long baud);
const char* port_device();
long port_baud();

// Opens and configures the device. 0 success; 1 the device could not be opened (or is busy);
// 2 its settings could not be read; 3 the new settings could not be applied. On failure nothing
// stays open.
int port_open();
// Opens an in-memory line instead of a device: reads take `data` in small pieces, then find a
// quiet line; writes are kept for `port_memory_output`. Used by tests and fuzzers.
void port_open_memory(const unsigned char* data, std::size_t n);
const std::string& port_memory_output();

// Reads up to n bytes: what is waiting at once, otherwise what arrives within one read time-out.
// 0 success (count_out 0 to n), 1 failure (count_out 0). Pending output is flushed first.
int port_read(unsigned char* buffer, std::size_t n, std::size_t* count_out);
// As `port_read`, but takes only bytes that are already waiting and never waits.
int port_read_waiting(unsigned char* buffer, std::size_t n, std::size_t* count_out);
// Queues n bytes for the line. 1 success, 0 failure (the line is lost).
int port_write(const unsigned char* buffer, std::size_t n);
// Pushes all queued output to the device.
void port_flush();
// Discards everything that has arrived and not been read.
void port_purge_input();
// Discards output that is queued and has not yet left (ours and the driver's).
void port_discard_output();
// Bytes written by the engine that have not left the device yet, as far as the driver tells.
std::size_t port_output_pending();

// True once reads or writes keep failing (device unplugged, hang-up); the reason is kept.
bool port_lost();
const char* port_lost_reason();

// Flushes output, restores the device's settings and closes it. Safe to call when not open.
void port_close();
