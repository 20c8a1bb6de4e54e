#include "driver/progress.h"

#include <time.h>

#include <cstdio>

#include "engine/progress.h"
#include "link/port.h"
#include "support/console.h"

namespace {

constexpr double kUpdateInterval = 0.25;  // at most four updates a second
constexpr double kRateWindow = 3.0;       // seconds of history behind the current rate

struct FileProgress {
    char name[kNameSize];
    long long total;
    double started;
    double last_shown;
    double window_start;
    std::uint64_t window_bytes;
    std::uint64_t done;
};

FileProgress file;

double now() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

void format_bytes(char* out, std::size_t size, double bytes) {
    if (bytes >= 1024.0 * 1024.0)
        std::snprintf(out, size, "%.1f MiB", bytes / (1024.0 * 1024.0));
    else if (bytes >= 1024.0)
        std::snprintf(out, size, "%.1f KiB", bytes / 1024.0);
    else
        std::snprintf(out, size, "%.0f B", bytes);
}

void on_file_start(const char* name, long long total) {
    file = FileProgress{};
    std::snprintf(file.name, sizeof file.name, "%s", name);
    file.total = total;
    file.started = file.window_start = now();
    file.last_shown = 0;
}

void on_update(std::uint64_t done, unsigned retries) {
    double t = now();
    file.done = done;
    if (t - file.last_shown < kUpdateInterval) return;
    if (t - file.window_start > kRateWindow) {
        file.window_start = file.last_shown > 0 ? file.last_shown : file.started;
        file.window_bytes = done;
    }
    file.last_shown = t;
    double span = t - file.window_start;
    double rate = span > 0 && done >= file.window_bytes
                      ? static_cast<double>(done - file.window_bytes) / span
                      : 0.0;
    char done_text[32], rate_text[32], line[512];
    format_bytes(done_text, sizeof done_text, static_cast<double>(done));
    format_bytes(rate_text, sizeof rate_text, rate);
    if (file.total > 0) {
        char total_text[32], eta[32] = "--:--";
        format_bytes(total_text, sizeof total_text, static_cast<double>(file.total));
        double left = static_cast<double>(file.total) - static_cast<double>(done);
        // An offered size can be anything up to 2^63: an ETA past a billion seconds stays
        // unknown rather than overflowing the conversion below.
        if (rate > 0 && left >= 0 && left / rate < 1e9) {
            long secs = static_cast<long>(left / rate + 0.5);
            std::snprintf(eta, sizeof eta, "%ld:%02ld", secs / 60, secs % 60);
        }
        std::snprintf(line, sizeof line, "%.60s  %s / %s  %3.0f%%  %s/s  ETA %s  retries %u",
                      file.name, done_text, total_text,
                      100.0 * static_cast<double>(done) / static_cast<double>(file.total), rate_text,
                      eta, retries);
    } else {
        std::snprintf(line, sizeof line, "%.60s  %s  %s/s  retries %u", file.name, done_text,
                      rate_text, retries);
    }
    console_status(line);
}

void on_file_end(std::uint64_t bytes, unsigned retries) {
    double elapsed = now() - file.started;
    double rate = elapsed > 0 ? static_cast<double>(bytes) / elapsed : 0.0;
    double line_rate = static_cast<double>(port_baud()) / 10.0;  // 8N1: ten bits a byte
    char size_text[32], rate_text[32];
    format_bytes(size_text, sizeof size_text, static_cast<double>(bytes));
    format_bytes(rate_text, sizeof rate_text, rate);
    console_note("%s: %llu bytes (%s) in %.1f s, %s/s, %.1f%% of the line at %ld baud, %u retries\n",
                 file.name, static_cast<unsigned long long>(bytes), size_text, elapsed, rate_text,
                 line_rate > 0 ? 100.0 * rate / line_rate : 0.0, port_baud(), retries);
}

constexpr ProgressSink kTerminalSink{on_file_start, on_update, on_file_end};

}  // namespace

void progress_install(ZmdSession&) {
    if (!console_status_enabled()) return;
    console_set_before_print(console_status_clear);
    zmd_progress_set_sink(&kTerminalSink);
}

void progress_finish() { console_status_clear(); }
