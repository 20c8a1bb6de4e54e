#include "driver/session.h"

#include "engine/subpacket.h"
#include "link/port.h"
#include "support/esl.h"

void session_init(ZmdSession& s) {
    s.buffer_size = kBufferSize;
    s.block_size = 1024;
}

int session_open(ZmdSession& s, TransferIo& io) {
    int result = port_open();
    if (result != 0) return result;
    s.wait_mode = 1;
    s.buffer_start = static_cast<unsigned char*>(esl_alloc(static_cast<std::size_t>(s.buffer_size)));
    s.io = &io;
    return 0;
}

void session_close(ZmdSession& s) {
    esl_free(s.buffer_start);
    s.buffer_start = nullptr;
    if (s.io != nullptr) io_release(*s.io);
    port_close();
}
