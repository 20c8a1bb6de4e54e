// zmodem: moves files over a serial line with ZMODEM.
//   zmodem /r        receive every file a remote sender offers, into the working directory
//   zmodem /s FILE   send one file
// The device is $ZMODEM_PORT (default /dev/ttyS1) at $ZMODEM_BAUD (default 9600).
// Exit status: 0 every file transferred in full; 1 usage error; 2 the port could not be opened or
// configured; 3 the transfer failed; 128 + the signal's number when interrupted.

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "driver/progress.h"
#include "driver/session.h"
#include "engine/receiver.h"
#include "engine/sender.h"
#include "link/interrupt.h"
#include "link/port.h"
#include "support/console.h"
#include "support/esl.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitUsage = 1;
constexpr int kExitPort = 2;
constexpr int kExitFailed = 3;

SessionRecord record;

// Chooses the device and speed from the environment; false (with a message) for a bad speed.
bool choose_port() {
    const char* device = std::getenv("ZMODEM_PORT");
    if (device == nullptr || *device == '\0') device = "/dev/ttyS1";
    long baud = 9600;
    if (const char* text = std::getenv("ZMODEM_BAUD")) {
        char* end = nullptr;
        errno = 0;
        baud = std::strtol(text, &end, 10);
        bool digits = *text >= '0' && *text <= '9';
        if (!digits || *end != '\0' || errno != 0 || !port_baud_supported(baud)) {
            console_print("\nInvalid ZMODEM_BAUD \"%s\": not a standard speed from 300 to 4000000",
                          text);
            return false;
        }
    }
    port_configure(device, baud);
    return true;
}

// Prints the pending error, if any, as the run's last word on it.
bool report_pending() {
    if (!esl_error.pending) return false;
    esl_report_error();
    return true;
}

int interrupted_status() {
    int signo = interrupt_signal();
    if (!esl_is(ZMD_INTERRUPTED)) {
        esl_clear_error();
        esl_set_error(ZMD_INTERRUPTED, interrupt_signal_name(signo));
    }
    report_pending();
    return 128 + signo;
}

int receive_status(const ZmdSession& s) {
    if (interrupt_signal()) return interrupted_status();
    bool failed = report_pending();
    if (!s.heard_remote) {
        console_print("no ZMODEM sender answered on %s (is `sz` running on the other side?)\n",
                      port_device());
        return kExitFailed;
    }
    int incomplete = s.files_offered - s.files_completed - s.files_refused;
    if (s.files_refused > 0)
        console_print("%d file(s) refused or not created\n", s.files_refused);
    if (incomplete > 0) console_print("%d file(s) left incomplete\n", incomplete);
    if (failed || !s.finished || incomplete > 0 || s.files_refused > 0) return kExitFailed;
    return kExitOk;
}

int send_status(const ZmdSession& s, const char* name) {
    if (interrupt_signal()) return interrupted_status();
    report_pending();
    bool delivered = s.files_completed > 0 && s.file_failed == 0;
    if (delivered) return kExitOk;  // an error in the closing exchange does not undo a delivery
    switch (s.file_failed) {
        case kFileNotOpened:
            console_print("%s was not sent: it could not be opened\n", name);
            break;
        case kFileSkipped:
            console_print("%s was not sent: the receiver skipped it\n", name);
            break;
        case kFileGivenUp:
            console_print("%s was not sent: the receiver did not take it after ten offers\n", name);
            break;
        case kNoReceiver:
            console_print("no ZMODEM receiver answered on %s (is `rz` running on the other side?)\n",
                          port_device());
            break;
        default:
            console_print("%s was not delivered in full\n", name);
            break;
    }
    return kExitFailed;
}

// One session in one direction: set up, transfer, tear down. Returns the exit status.
int run(bool sending, const char* name) {
    ZmdSession& s = record.session;
    if (!choose_port()) return kExitUsage;
    session_init(s);
    if (session_open(s, record.io) != 0) return kExitPort;
    progress_install(s);
    if (sending) {
        io_build_list(record.io, name);
        zmd_send(s);
    } else {
        zmd_receive(s);
    }
    progress_finish();
    int status = sending ? send_status(s, name) : receive_status(s);
    session_close(s);
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    console_print("\nZmodem program...");
    if (argc < 2 || argc > 3) {
        console_print("\nUsage: zmodem /r /s [filename]");
        return kExitUsage;
    }
    const char* mode = argv[1];
    if (mode[0] != '/' || (mode[1] != 'r' && mode[1] != 's')) {
        console_print("\nUnrecognized argument");
        return kExitUsage;
    }
    interrupt_install();
    if (mode[1] == 'r') return run(false, nullptr);
    if (argc != 3) {
        console_print("\nError: send requires filename");
        return kExitUsage;
    }
    if (std::strlen(argv[2]) >= kNameSize) {
        console_print("\nError: file name too long (%zu characters, at most %d)", std::strlen(argv[2]),
                      kNameSize - 1);
        return kExitUsage;
    }
    return run(true, argv[2]);
}
