// Progress of the file in transfer, reported to an optional sink that the driver installs (a live
// status line, a summary). Without a sink these calls do nothing.
#pragma once

#include <cstdint>

#include "engine/session.h"

struct ProgressSink {
    void (*file_start)(const char* name, long long total);   // total -1 when unknown
    void (*update)(std::uint64_t done, unsigned retries);
    void (*file_end)(std::uint64_t bytes, unsigned retries);
};

void zmd_progress_set_sink(const ProgressSink* sink);

void zmd_progress_file_start(ZmdSession& s, const char* name, long long total);
// `done`: bytes stored (receiver) or bytes that have left the device (sender).
void zmd_progress_update(ZmdSession& s, std::uint64_t done);
void zmd_progress_file_end(ZmdSession& s);
// The size the sender announced in its offer, or -1.
long long zmd_progress_offered_size(const ZmdSession& s);
