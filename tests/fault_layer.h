// A scripted stand-in for the platform layer, for driving the program in
// process: it refuses the calls a test names, with the codes and texts the
// test names, reports the memory figures the test sets, and records every
// call, every pause and every store into a view.
#ifndef MAP_VIEW_OF_FILE_TESTS_FAULT_LAYER_H
#define MAP_VIEW_OF_FILE_TESTS_FAULT_LAYER_H

#include <cstdint>
#include <string>
#include <vector>

#include "platform/win32.h"

namespace fault {

enum Call { UNLINK, CREATE_FILE, CREATE_FILE_MAPPING, MAP_VIEW_OF_FILE, SLEEP, GLOBAL_MEMORY_STATUS, CALL_KINDS };

struct Event {
    Call call;
    std::string text;   // the call and its arguments, e.g. "CreateFileMappingA #0 prot=4 size=0:4096"
    int64_t flushed;    // bytes of standard output written to the file when the call came
    bool refused;
};

// Forgets every script, record and view.
void reset();
// Refuses the occurrence-th call (counted from 0) of the kind, with code.
void refuse(Call call, int occurrence, DWORD code);
// Refuses the k-th refusable call (create, mapping, view or memory status,
// counted from 0, whatever its kind), with code.
void refuse_nth(int k, DWORD code);
// The text FormatMessageA stores for code; a code without one stores nothing.
void set_text(DWORD code, const std::string &text);
// What GetLastError returns until the next refusal.
void set_last_error(DWORD code);
// What GlobalMemoryStatusEx reports (dwLength is ignored).
void set_status(const MEMORYSTATUSEX &status);

const std::vector<Event> &events();
std::vector<std::string> calls();            // the text of each event, in order
std::vector<DWORD> pauses();                 // each Sleep's milliseconds, in order
int refusable_calls();                       // how many refusable calls were made

struct View {
    uint64_t length;
    std::vector<uint64_t> stores;            // offsets written to (see stored_pages for large views)
    std::vector<uint64_t> stored_pages;      // start offsets of the pages written to
};
// The views handed out, in order. A view of up to 64 MiB is filled with 0xff
// when it is made, so every byte the program sets to 0 shows as a store; in
// a larger one only the written pages can be told, by their residency.
std::vector<View> views();

} // namespace fault

#endif
