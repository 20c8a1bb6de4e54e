// The engine's view of the world: reading the line with or without patience, writing and
// draining it, and the file steps of a transfer. An empty read records ZMD009, a dead line or a
// signal records a fault that ends the session; file failures that lose data record a file fault.
// Progress messages ("opening file", "closing file", "seeking to offset") are printed here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

struct ZmdSession;

inline constexpr int kSendListEntries = 40;
inline constexpr int kNameSize = 260;  // a name of at most 259 characters and its NUL

// The I/O object of a session: the file being received or sent and the list of files to send.
struct TransferIo {
    std::FILE* file;                            // stream of the current file, null when none
    char names[kSendListEntries][kNameSize];    // files to send, ended by an empty entry
    int index;                                  // next entry to open
    char local_name[kNameSize];                 // the current file as named on this machine
};

// Line operations.
// Reads with patience: one attempt, then up to `patience` more after a pause each.
void io_read(ZmdSession&, TransferIo&, unsigned char* buffer, std::size_t n, std::size_t* count_out);
// Reads with one attempt of one read time-out.
void io_read_nowait(ZmdSession&, TransferIo&, unsigned char* buffer, std::size_t n,
                    std::size_t* count_out);
// Takes only bytes that have already arrived; never waits.
void io_read_waiting(ZmdSession&, TransferIo&, unsigned char* buffer, std::size_t n,
                     std::size_t* count_out);
void io_write(ZmdSession&, TransferIo&, const unsigned char* buffer, std::size_t n);
// Pushes queued output to the device now.
void io_flush(ZmdSession&, TransferIo&);
// Discards everything that has arrived on the line, without waiting for silence.
void io_purge(ZmdSession&, TransferIo&);
// Discards our output that has not left yet: the remote asked for something else.
void io_discard_output(ZmdSession&, TransferIo&);
// Bytes handed to the line that have not left the device.
std::size_t io_output_pending(ZmdSession&, TransferIo&);

// File operations.
// Makes the send list hold the one name.
void io_build_list(TransferIo&, const char* name);
// Opens the next file of the send list for reading. 1 opened, 0 not (end of list or failure,
// with a message).
int io_open_next(ZmdSession&, TransferIo&, char* name_out, std::int32_t* size_out);
// Creates the file a remote offers, under the last component of its name in the working
// directory. Sets skip_out when the name is refused or the file cannot be created.
void io_open_for_write(ZmdSession&, TransferIo&, const char* name, const char* info,
                       std::uint32_t* position_out, int* skip_out);
// Appends n bytes to the file; a failed write records a file fault.
void io_write_block(ZmdSession&, TransferIo&, const unsigned char* data, std::size_t n);
// Finishes the file received; a failed flush or close records a file fault.
void io_close(ZmdSession&, TransferIo&);
// Moves the file being sent to an absolute offset.
void io_seek(ZmdSession&, TransferIo&, std::uint32_t offset);
// Reads up to n bytes of the file being sent. 1 when some were read; a read error (not the end of
// the file) records a file fault.
int io_read_block(ZmdSession&, TransferIo&, unsigned char* buffer, std::size_t n,
                  std::size_t* count_out);
// Closes a file that is still open, without a message (end of a session that failed).
void io_release(TransferIo&);

// The local name a remote file name is stored under: its last component. False when the name is
// refused (empty, ".", "..", or with a control byte).
bool io_local_name(const char* remote, char* local_out, std::size_t size);
// The name with control bytes shown as escapes (\x1b), fit for a message.
void io_printable_name(const char* name, char* out, std::size_t size);
