#pragma once
// Giving freed memory back to the system after a backlog of megabytes (a
// client that never reads, an oxlat output with no peer): glibc keeps what
// was freed in its arenas, so the process would stay at its peak size.
#include <cstddef>

namespace oxnet {

// Backlogs of at least this many bytes are worth a trim once freed.
constexpr size_t kTrimAfterBytes = 4u * 1024u * 1024u;
// A trim walks every arena, and pages it gives back are faulted in again
// when a backlog builds up anew: repeated drains trim at most this often
// for the whole process.
constexpr int kTrimIntervalMs = 1000;

// Any thread, after the backlog's memory is freed. `always` trims at once
// and drops the cached backlog pages too (a connection or session that held
// the backlog is gone); otherwise at most once per kTrimIntervalMs, and the
// cache stays for the backlog that may build up again.
void giveBackFreedMemory(bool always);

} // namespace oxnet
