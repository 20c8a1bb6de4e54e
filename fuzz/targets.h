// Entry points of the fuzz targets, shared by the libFuzzer programs and the replay test. Each
// runs one input through a part of the engine over the in-memory line, with timing shortened so
// that a quiet read returns at once, checks what must hold afterwards and leaves no state behind.
// A broken check goes to the failure handler, which by default prints it and aborts, so that the
// fuzzer keeps the input.
#pragma once

#include <cstddef>
#include <cstdint>

// The header reader, called until the input is used up; every header form is reachable.
int fuzz_header_input(const std::uint8_t* data, std::size_t size);
// The subpacket reader, called until the input is used up. The first byte chooses the CRC kind
// (bit 0: CRC-32) and the buffer (bit 1: a short one, so that overlong subpackets are reachable
// with small inputs).
int fuzz_subpacket_input(const std::uint8_t* data, std::size_t size);
// The file-information parser, called until the input is used up; first byte as above.
int fuzz_file_info_input(const std::uint8_t* data, std::size_t size);
// The whole receiver, fed the input as everything the remote sends. Runs in a private scratch
// directory (made on first use, entered with chdir for the run and left after it) that is
// emptied after each input; anything created beside it, or anything in it but plain files with
// plain names, is a failure.
int fuzz_receiver_input(const std::uint8_t* data, std::size_t size);

// Replaces the failure handler; nullptr restores the default (print and abort).
void fuzz_set_failure_handler(void (*handler)(const char* what));
// Removes the receiver's scratch directory (also done at exit).
void fuzz_workspace_close();
