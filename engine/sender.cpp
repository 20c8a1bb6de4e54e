#include "engine/sender.h"

#include "engine/frames.h"
#include "engine/header.h"
#include "engine/progress.h"
#include "engine/retry.h"
#include "engine/subpacket.h"
#include "support/esl.h"

namespace {

enum DataState {
    kReadBlock = 0,   // read the next block and start a data frame
    kSendEof = 1,     // all data sent
    kStreaming = 2,   // data subpackets, peeking for a request after each
    kReposition = 3,  // a ZRPOS came: go where it says
    kAwaitRinit = 4,  // ZEOF sent: wait for the receiver's ZRINIT
};

// Subpacket sizes. A ZRPOS means a subpacket was hit on the way; on a line that hits most
// 1024-byte subpackets, the same block could fail ten times running and the receiver would give
// up. So each ZRPOS halves the block, down to kMinBlock, and a run of kCleanRun subpackets without
// one doubles it again, up to kFullBlock. On a clean line every block is 1024 bytes.
constexpr std::uint32_t kFullBlock = 1024;
constexpr std::uint32_t kMinBlock = 128;
constexpr std::uint32_t kCleanRun = 16;

void read_block(ZmdSession& s) {
    std::size_t count = 0;
    io_read_block(s, *s.io, s.buffer_start, s.block_size, &count);
    s.block_count = static_cast<std::uint32_t>(count);
}

// Bytes of the file that have left the device, for the progress figure.
std::uint64_t bytes_on_the_line(ZmdSession& s) {
    std::size_t pending = io_output_pending(s, *s.io);
    return pending < s.position ? s.position - pending : 0;
}

void stream(ZmdSession& s, DataState& state) {
    while (!esl_error.pending && state == kStreaming) {
        zmd_send_data(s);
        zmd_peek_header(s);
        if (!esl_error.pending && s.header_type == ZRPOS) {
            state = kReposition;
            break;
        }
        // No answer is the normal case. A damaged header is most likely a ZRPOS hit by noise:
        // it is shown and streaming goes on; the receiver asks again when it sees the stream
        // did not restart.
        if (esl_is(ZMD009)) esl_clear_error();
        if (esl_error.pending && !zmd_fatal_pending()) {
            esl_report_error();
            ++s.retries;
        }
        if (esl_error.pending) break;
        zmd_progress_update(s, bytes_on_the_line(s));
        if (!s.more_data) {
            state = kSendEof;
        } else {
            if (++s.clean_blocks >= kCleanRun && s.block_size < kFullBlock) {
                s.block_size *= 2;
                s.clean_blocks = 0;
            }
            read_block(s);
            if (s.block_count < s.block_size) s.more_data = 0;
        }
    }
}

void reposition(ZmdSession& s) {
    std::uint32_t offset = zmd_header_position(s);
    if (offset <= s.position) s.more_data = 1;
    // What is still queued for the line belongs to the stream the receiver has rejected.
    io_discard_output(s, *s.io);
    io_seek(s, *s.io, offset);
    s.position = offset;
    ++s.retries;
    if (s.block_size / 2 >= kMinBlock) s.block_size /= 2;
    s.clean_blocks = 0;
}

}  // namespace

void zmd_peek_header(ZmdSession& s) {
    s.wait_mode = 2;
    zmd_get_header(s);
    s.wait_mode = 1;
}

void zmd_send_rz(ZmdSession& s) {
    static constexpr unsigned char kText[] = {'r', 'z', CR};
    io_write(s, *s.io, kText, sizeof kText);
}

void zmd_send_over_and_out(ZmdSession& s) {
    static constexpr unsigned char kText[] = {'O', 'O'};
    io_write(s, *s.io, kText, sizeof kText);
}

void zmd_send(ZmdSession& s) {
    s.buffer_limit = s.buffer_start + s.buffer_size;
    io_purge(s, *s.io);
    zmd_send_rz(s);
    int counter = 0;
    bool done = false;
    while (!esl_error.pending && !done && counter < 10) {
        zmd_send_zrqinit(s);
        zmd_get_header(s);
        if (!esl_error.pending) {
            if (s.header_type == ZCANCELLED) {
                esl_set_error(ZMD010);
                done = true;
            } else if (s.header_type == ZRINIT) {
                zmd_send_files(s);
                done = true;
            } else {
                ++counter;
            }
        } else if (zmd_pending_in({ZMD009, ZMD004, ZMD006, ZMD008})) {
            esl_report_error();
            ++counter;
        }
    }
    if (!done && !esl_error.pending) s.file_failed = kNoReceiver;
    if (esl_error.pending) {
        zmd_abort_on_local_fault(s);
        return;
    }

    counter = 0;
    zmd_send_zfin(s);
    bool got_fin = false;
    while (!esl_error.pending && !got_fin) {
        zmd_get_header(s);
        if (!esl_error.pending && s.header_type == ZFIN) {
            got_fin = true;
        } else if (counter < 10 && !zmd_fatal_pending()) {
            esl_report_error();
            zmd_send_zfin(s);
            ++counter;
        }
    }
    if (!esl_error.pending) {
        zmd_send_over_and_out(s);
        s.finished = 1;
    }
    zmd_abort_on_local_fault(s);
}

void zmd_send_files(ZmdSession& s) {
    int opened = io_open_next(s, *s.io, s.file_name, &s.file_size);
    if (!opened) s.file_failed = kFileNotOpened;
    while (!esl_error.pending && opened) {
        s.position = 0;
        int counter = 0;
        bool done = false;
        while (!esl_error.pending && counter < 10 && !done) {
            zmd_send_zfile(s);
            zmd_send_file_info(s);
            zmd_get_header(s);
            if (!esl_error.pending) {
                switch (s.header_type) {
                    case ZRINIT:
                        ++counter;
                        ++s.retries;
                        break;
                    case ZRPOS: {
                        std::uint32_t offset = zmd_header_position(s);
                        io_seek(s, *s.io, offset);
                        s.position = offset;
                        zmd_progress_file_start(s, s.file_name, s.file_size);
                        zmd_send_file_data(s);
                        done = true;
                        break;
                    }
                    case ZSKIP:
                        s.file_failed = kFileSkipped;
                        done = true;
                        break;
                    default:
                        break;
                }
            } else {
                // No answer or a damaged one: offer again. Faults no offer can mend stay pending.
                if (!zmd_fatal_pending()) {
                    esl_report_error();
                    ++s.retries;
                }
                ++counter;
            }
        }
        if (!done && !esl_error.pending) s.file_failed = kFileGivenUp;
        if (!esl_error.pending) opened = io_open_next(s, *s.io, s.file_name, &s.file_size);
    }
}

void zmd_send_file_data(ZmdSession& s) {
    s.more_data = 1;
    DataState state = kReadBlock;
    int counter = 0;
    bool done = false;
    while (!esl_error.pending && !done) {
        switch (state) {
            case kReadBlock:
                read_block(s);
                if (esl_error.pending) break;
                if (s.block_count == 0) {
                    state = kSendEof;
                } else {
                    zmd_send_zdata(s);
                    state = kStreaming;
                }
                break;
            case kStreaming:
                stream(s, state);
                break;
            case kReposition:
                reposition(s);
                state = kReadBlock;
                break;
            case kSendEof:
                zmd_send_zeof(s);
                counter = 0;
                state = kAwaitRinit;
                break;
            case kAwaitRinit:
                zmd_get_header(s);
                if (!esl_error.pending && s.header_type == ZRINIT) {
                    done = true;
                    ++s.files_completed;
                    zmd_progress_file_end(s);
                } else if (!esl_error.pending && s.header_type == ZRPOS) {
                    state = kReposition;
                } else {
                    ++counter;
                    if (counter < 10 && !zmd_fatal_pending()) esl_clear_error();
                }
                break;
        }
    }
}
