#include "link/io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "link/interrupt.h"
#include "link/port.h"
#include "link/timing.h"
#include "support/console.h"
#include "support/esl.h"

namespace {

// After a read that brought nothing: a signal or a dead line ends the session, otherwise the
// caller sees a time-out.
void record_empty_read() {
    if (int signo = interrupt_signal()) {
        esl_set_error(ZMD_INTERRUPTED, interrupt_signal_name(signo));
    } else if (port_lost()) {
        esl_set_error(ZMD_LINE_LOST, port_device(), port_lost_reason());
    } else {
        esl_set_error(ZMD009);
    }
}

void pause_ms(int ms) {
    if (ms <= 0) return;
    timespec ts{ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&ts, nullptr);
}

void file_fault(const char* what, const char* name, int err) {
    esl_set_error(ZMD_FILE_FAULT, what, name, std::strerror(err));
}

}  // namespace

void io_read(ZmdSession&, TransferIo&, unsigned char* buffer, std::size_t n,
             std::size_t* count_out) {
    const LinkTiming& timing = link_timing();
    port_read(buffer, n, count_out);
    for (int attempt = 0; *count_out == 0 && attempt < timing.patience; ++attempt) {
        if (interrupt_signal() || port_lost()) break;
        pause_ms(timing.pause_ms);
        port_read(buffer, n, count_out);
    }
    if (*count_out == 0) record_empty_read();
}

void io_read_nowait(ZmdSession&, TransferIo&, unsigned char* buffer, std::size_t n,
                    std::size_t* count_out) {
    port_read(buffer, n, count_out);
    if (*count_out == 0) record_empty_read();
}

void io_read_waiting(ZmdSession&, TransferIo&, unsigned char* buffer, std::size_t n,
                     std::size_t* count_out) {
    port_read_waiting(buffer, n, count_out);
    if (*count_out == 0) record_empty_read();
}

void io_write(ZmdSession&, TransferIo&, const unsigned char* buffer, std::size_t n) {
    port_write(buffer, n);
}

void io_flush(ZmdSession&, TransferIo&) { port_flush(); }

void io_purge(ZmdSession&, TransferIo&) { port_purge_input(); }

void io_discard_output(ZmdSession&, TransferIo&) { port_discard_output(); }

std::size_t io_output_pending(ZmdSession&, TransferIo&) { return port_output_pending(); }

void io_build_list(TransferIo& io, const char* name) {
    io.index = 0;
    std::snprintf(io.names[io.index], kNameSize, "%s", name);
    ++io.index;
    io.names[io.index][0] = '\0';
    io.index = 0;
}

int io_open_next(ZmdSession&, TransferIo& io, char* name_out, std::int32_t* size_out) {
    const char* entry = io.index < kSendListEntries ? io.names[io.index] : "";
    ++io.index;
    std::snprintf(name_out, kNameSize, "%s", entry);
    std::snprintf(io.local_name, kNameSize, "%s", entry);
    io_release(io);
    console_print("opening file %s\n", name_out);
    if (name_out[0] == '\0') {
        console_print("failed to open file %s\n", name_out);
        return 0;
    }
    std::FILE* file = std::fopen(name_out, "rb");
    if (file == nullptr) {
        int err = errno;
        console_print("failed to open file %s\n", name_out);
        console_print("cannot open %s: %s\n", name_out, std::strerror(err));
        return 0;
    }
    struct stat st {};
    if (::fstat(fileno(file), &st) != 0 || !S_ISREG(st.st_mode)) {
        console_print("failed to open file %s\n", name_out);
        console_print("cannot send %s: not a regular file\n", name_out);
        std::fclose(file);
        return 0;
    }
    if (st.st_size > INT32_MAX) {
        console_print("failed to open file %s\n", name_out);
        console_print("cannot send %s: %lld bytes is more than the 2 GiB a transfer can carry\n",
                      name_out, static_cast<long long>(st.st_size));
        std::fclose(file);
        return 0;
    }
    io.file = file;
    *size_out = static_cast<std::int32_t>(st.st_size);
    return 1;
}

bool io_local_name(const char* remote, char* local_out, std::size_t size) {
    const char* last = remote;
    for (const char* p = remote; *p != '\0'; ++p) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (c < 0x20 || c == 0x7F) return false;
        if (c == '/' || c == '\\') last = p + 1;
    }
    if (*last == '\0' || std::strcmp(last, ".") == 0 || std::strcmp(last, "..") == 0) return false;
    std::snprintf(local_out, size, "%s", last);
    return true;
}

void io_printable_name(const char* name, char* out, std::size_t size) {
    std::size_t used = 0;
    out[0] = '\0';
    for (const char* p = name; *p != '\0' && used + 5 < size; ++p) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (c < 0x20 || c == 0x7F || c == '\\') {
            used += std::snprintf(out + used, size - used, c == '\\' ? "\\\\" : "\\x%02x", c);
        } else {
            out[used++] = static_cast<char>(c);
            out[used] = '\0';
        }
    }
}

void io_open_for_write(ZmdSession&, TransferIo& io, const char* name, const char*,
                       std::uint32_t* position_out, int* skip_out) {
    *position_out = 0;
    *skip_out = 0;
    io_release(io);
    if (!io_local_name(name, io.local_name, sizeof io.local_name)) {
        char shown[4 * kNameSize];
        io_printable_name(name, shown, sizeof shown);
        console_print("refusing file name \"%s\": not a plain file name\n", shown);
        *skip_out = 1;
        return;
    }
    console_print("opening file %s\n", io.local_name);
    // O_NOFOLLOW: a symbolic link left in the working directory must not lead the file elsewhere.
    int fd = ::open(io.local_name, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666);
    std::FILE* file = fd >= 0 ? ::fdopen(fd, "wb") : nullptr;
    if (file == nullptr) {
        int err = errno;
        if (fd >= 0) ::close(fd);
        console_print("failed to open file %s\n", io.local_name);
        console_print("cannot create %s: %s\n", io.local_name, std::strerror(err));
        *skip_out = 1;
    }
    io.file = file;
}

void io_write_block(ZmdSession&, TransferIo& io, const unsigned char* data, std::size_t n) {
    if (io.file == nullptr || n == 0) return;
    if (std::fwrite(data, 1, n, io.file) != n) file_fault("write to", io.local_name, errno);
}

void io_close(ZmdSession&, TransferIo& io) {
    if (io.file == nullptr) return;
    std::FILE* file = io.file;
    io.file = nullptr;
    if (std::fflush(file) != 0) {
        int err = errno;
        std::fclose(file);
        file_fault("write to", io.local_name, err);
        return;
    }
    console_print("closing file\n");
    if (std::fclose(file) != 0) file_fault("close", io.local_name, errno);
}

void io_seek(ZmdSession&, TransferIo& io, std::uint32_t offset) {
    if (io.file != nullptr && std::fseek(io.file, static_cast<long>(offset), SEEK_SET) != 0)
        file_fault("seek in", io.local_name, errno);
    console_print("seeking to offset %lu\n", static_cast<unsigned long>(offset));
}

int io_read_block(ZmdSession&, TransferIo& io, unsigned char* buffer, std::size_t n,
                  std::size_t* count_out) {
    *count_out = 0;
    if (io.file == nullptr) return 0;
    *count_out = std::fread(buffer, 1, n, io.file);
    if (*count_out < n && std::ferror(io.file)) file_fault("read", io.local_name, errno);
    return *count_out > 0 ? 1 : 0;
}

void io_release(TransferIo& io) {
    if (io.file != nullptr) std::fclose(io.file);
    io.file = nullptr;
}
