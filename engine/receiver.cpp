#include "engine/receiver.h"

#include "engine/bytes.h"
#include "engine/frames.h"
#include "engine/header.h"
#include "engine/progress.h"
#include "engine/retry.h"
#include "engine/subpacket.h"
#include "support/esl.h"

namespace {

// Sends ZRPOS again for a repeated offer or an unmatched ZEOF, or gives up with ZMD002.
void ask_again(ZmdSession& s, int& counter) {
    if (counter < 10) {
        zmd_send_zrpos(s);
        ++counter;
        ++s.retries;
    } else {
        esl_set_error(ZMD002);
    }
}

// A sender that closes a subpacket with ZCRCW or ZCRCQ stops until it hears ZACK; without it,
// every such subpacket would cost a time-out and a ZRPOS. After ZCRCQ the frame goes on.
void acknowledge(ZmdSession& s) {
    if (s.frame_end_code != ZCRCW && s.frame_end_code != ZCRCQ) return;
    zmd_send_zack(s);
    if (s.frame_end_code == ZCRCQ) s.more_data = 1;
}

void close_file(ZmdSession& s) {
    io_close(s, *s.io);
    if (!esl_error.pending) {
        ++s.files_completed;
        zmd_progress_file_end(s);
    }
}

}  // namespace

bool zmd_offset_matches(const ZmdSession& s) { return zmd_header_position(s) == s.position; }

void zmd_get_over_and_out(ZmdSession& s) {
    zmd_get_raw(s);
    if (!esl_error.pending) zmd_get_raw(s);
    if (esl_is(ZMD009)) esl_clear_error();
}

void zmd_receive(ZmdSession& s) {
    s.buffer_limit = s.buffer_start + s.buffer_size;
    io_purge(s, *s.io);
    s.skip_file = 0;
    bool finished = false;
    while (!esl_error.pending && !finished) {
        zmd_send_zrinit(s);
        int counter = 0;
        bool done = false;
        while (!esl_error.pending && !done) {
            zmd_get_header(s);
            if (!esl_error.pending) {
                switch (s.header_type) {
                    case ZFIN:
                        zmd_send_zfin(s);
                        zmd_get_over_and_out(s);
                        finished = done = true;
                        s.finished = 1;
                        break;
                    case ZRQINIT:
                        if (counter < 10) {
                            zmd_send_zrinit(s);
                            ++counter;
                        } else {
                            esl_set_error(ZMD001);
                        }
                        break;
                    case ZFILE:
                        s.skip_file = 0;
                        zmd_get_file_info(s);
                        if (!esl_error.pending) {
                            zmd_receive_file(s);
                            done = true;
                        } else if (zmd_take_retry(s, {ZMD009, ZMD004, ZMD006}, counter)) {
                            zmd_send_zrinit(s);
                        }
                        break;
                    default:
                        break;
                }
            } else if (zmd_take_retry(s, {ZMD009, ZMD004, ZMD006, ZMD008}, counter)) {
                zmd_send_zrinit(s);
            }
        }
    }
    zmd_abort_on_local_fault(s);
}

void zmd_receive_file(ZmdSession& s) {
    ++s.files_offered;
    s.position = 0;
    io_open_for_write(s, *s.io, s.file_name, s.file_info, &s.position, &s.skip_file);
    if (s.skip_file) {
        ++s.files_refused;
        zmd_send_zskip(s);
        return;
    }
    zmd_progress_file_start(s, s.io->local_name, zmd_progress_offered_size(s));
    zmd_send_zrpos(s);
    int counter = 0;
    bool done = false;
    while (!esl_error.pending && !done) {
        zmd_get_header(s);
        if (!esl_error.pending) {
            switch (s.header_type) {
                case ZFILE:
                    ask_again(s, counter);
                    break;
                case ZDATA:
                    zmd_receive_data(s);
                    done = true;
                    break;
                case ZEOF:
                    if (zmd_offset_matches(s)) {
                        close_file(s);
                        done = true;
                    } else {
                        ask_again(s, counter);
                    }
                    break;
                default:
                    break;
            }
        } else if (zmd_take_retry(s, {ZMD009, ZMD004, ZMD006, ZMD008}, counter)) {
            zmd_send_zrpos(s);
        }
    }
}

void zmd_receive_data(ZmdSession& s) {
    int counter = 0;
    s.more_data = 1;
    bool done = false;
    while (!esl_error.pending && !done) {
        if (s.more_data) {
            zmd_get_data(s);
            if (!esl_error.pending) {
                io_write_block(s, *s.io, s.buffer_start,
                               static_cast<std::size_t>(s.buffer_fill - s.buffer_start));
                if (!esl_error.pending) {
                    counter = 0;
                    zmd_progress_update(s, s.position);
                    acknowledge(s);
                }
            }
        } else {
            zmd_get_header(s);
            // ZDATA or ZEOF at another position may be still on its way from before the sender
            // heard our last ZRPOS; asking again for each would only multiply the restarts.
            if (!esl_error.pending && zmd_offset_matches(s)) {
                if (s.header_type == ZDATA) {
                    s.more_data = 1;
                } else if (s.header_type == ZEOF) {
                    close_file(s);
                    done = true;
                }
            }
        }
        if (zmd_take_retry(s, {ZMD009, ZMD005, ZMD004, ZMD006, ZMD008}, counter)) {
            s.more_data = 0;
            zmd_send_zrpos(s);
        }
    }
}
