#include "engine/progress.h"

#include <cstdlib>

namespace {
const ProgressSink* current = nullptr;
}

void zmd_progress_set_sink(const ProgressSink* sink) { current = sink; }

void zmd_progress_file_start(ZmdSession&, const char* name, long long total) {
    if (current != nullptr) current->file_start(name, total);
}

void zmd_progress_update(ZmdSession& s, std::uint64_t done) {
    if (current != nullptr) current->update(done, s.retries);
}

void zmd_progress_file_end(ZmdSession& s) {
    if (current != nullptr) current->file_end(s.position, s.retries);
}

long long zmd_progress_offered_size(const ZmdSession& s) {
    if (s.file_info == nullptr || *s.file_info < '0' || *s.file_info > '9') return -1;
    return std::strtoll(s.file_info, nullptr, 10);
}
