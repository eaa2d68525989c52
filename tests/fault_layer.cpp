#include "fault_layer.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <sys/mman.h>
#include <unistd.h>

namespace fault {
namespace {

constexpr uint64_t FILLED_VIEW_LIMIT = 64ull << 20;

struct MappedView {
    unsigned char *address;
    uint64_t length;
    bool filled;
};

struct State {
    std::vector<Event> events;
    int counts[CALL_KINDS] = {};
    int refusable = 0;
    std::map<std::pair<int, int>, DWORD> refusals; // (call, occurrence) -> code
    std::map<int, DWORD> nth_refusals;             // k -> code
    std::map<DWORD, std::string> texts;
    MEMORYSTATUSEX status = {64, 0, 0, 0, 0, 0, 0, 0, 0};
    std::vector<MappedView> views;
    DWORD last_error = 0;
};

State &state()
{
    static State instance;
    return instance;
}

// Logs the call and says whether the script refuses it (setting the code).
bool record(Call call, const std::string &text, bool refusable)
{
    State &s = state();
    int occurrence = s.counts[call]++;
    bool refused = false;
    DWORD code = 0;
    auto by_kind = s.refusals.find({call, occurrence});
    if (by_kind != s.refusals.end()) {
        refused = true;
        code = by_kind->second;
    }
    if (refusable) {
        auto by_k = s.nth_refusals.find(s.refusable++);
        if (by_k != s.nth_refusals.end()) {
            refused = true;
            code = by_k->second;
        }
    }
    if (refused)
        s.last_error = code;
    s.events.push_back({call, text, (int64_t)lseek(STDOUT_FILENO, 0, SEEK_CUR), refused});
    return refused;
}

std::string hex(uint64_t value)
{
    char text[32];
    snprintf(text, sizeof(text), "%llx", (unsigned long long)value);
    return text;
}

} // namespace

void reset()
{
    State &s = state();
    for (const MappedView &view : s.views)
        munmap(view.address, view.length);
    s = State();
}

void refuse(Call call, int occurrence, DWORD code)
{
    state().refusals[{call, occurrence}] = code;
}

void refuse_nth(int k, DWORD code)
{
    state().nth_refusals[k] = code;
}

void set_text(DWORD code, const std::string &text)
{
    state().texts[code] = text;
}

void set_last_error(DWORD code)
{
    state().last_error = code;
}

void set_status(const MEMORYSTATUSEX &status)
{
    state().status = status;
}

const std::vector<Event> &events()
{
    return state().events;
}

std::vector<std::string> calls()
{
    std::vector<std::string> result;
    for (const Event &event : state().events)
        result.push_back(event.text);
    return result;
}

std::vector<DWORD> pauses()
{
    std::vector<DWORD> result;
    for (const Event &event : state().events)
        if (event.call == SLEEP)
            result.push_back((DWORD)std::stoul(event.text.substr(6)));
    return result;
}

int refusable_calls()
{
    return state().refusable;
}

std::vector<View> views()
{
    std::vector<View> result;
    long page = sysconf(_SC_PAGESIZE);
    for (const MappedView &mapped : state().views) {
        View view{mapped.length, {}, {}};
        if (mapped.filled) {
            for (uint64_t offset = 0; offset < mapped.length; offset++)
                if (mapped.address[offset] == 0)
                    view.stores.push_back(offset);
            for (uint64_t offset : view.stores)
                if (view.stored_pages.empty() || view.stored_pages.back() != offset / page * page)
                    view.stored_pages.push_back(offset / page * page);
        } else {
            uint64_t pages = (mapped.length + page - 1) / page;
            std::vector<unsigned char> resident(pages);
            if (mincore(mapped.address, mapped.length, resident.data()) == 0)
                for (uint64_t index = 0; index < pages; index++)
                    if (resident[index] & 1)
                        view.stored_pages.push_back(index * page);
        }
        result.push_back(view);
    }
    return result;
}

} // namespace fault

using fault::record;

HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD share_mode, LPSECURITY_ATTRIBUTES security, DWORD disposition,
                   DWORD attributes, HANDLE template_file)
{
    int index = fault::state().counts[fault::CREATE_FILE];
    std::string text = "CreateFileA " + std::string(name) + " access=" + fault::hex(access) +
                       " share=" + fault::hex(share_mode) + " disposition=" + fault::hex(disposition) +
                       " attributes=" + fault::hex(attributes) + (security ? " security" : "") +
                       (template_file ? " template" : "");
    if (record(fault::CREATE_FILE, text, true))
        return INVALID_HANDLE_VALUE;
    return (HANDLE)(uintptr_t)(0x1000 + 16 * index);
}

HANDLE CreateFileMappingA(HANDLE file, LPSECURITY_ATTRIBUTES security, DWORD protection, DWORD size_high,
                          DWORD size_low, LPCSTR name)
{
    std::string text = "CreateFileMappingA file=" + fault::hex((uintptr_t)file) + " protection=" +
                       fault::hex(protection) + " size=" + fault::hex(size_high) + ":" + fault::hex(size_low) +
                       (security ? " security" : "") + (name ? " named" : "");
    if (record(fault::CREATE_FILE_MAPPING, text, true))
        return NULL;
    return (HANDLE)((uintptr_t)file + 1);
}

LPVOID MapViewOfFile(HANDLE file_mapping, DWORD access, DWORD offset_high, DWORD offset_low, size_t length)
{
    std::string text = "MapViewOfFile mapping=" + fault::hex((uintptr_t)file_mapping) + " access=" +
                       fault::hex(access) + " offset=" + fault::hex(offset_high) + ":" + fault::hex(offset_low) +
                       " length=" + fault::hex(length);
    if (record(fault::MAP_VIEW_OF_FILE, text, true))
        return NULL;
    // A real, private view of the asked length (at least one page, so that a
    // zero-length view still has an address).
    size_t size = length == 0 ? 1 : length;
    void *address = mmap(NULL, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (address == MAP_FAILED) {
        fault::state().last_error = (DWORD)errno;
        return NULL;
    }
    bool filled = size <= fault::FILLED_VIEW_LIMIT;
    if (filled)
        memset(address, 0xff, size);
    fault::state().views.push_back({(unsigned char *)address, size, filled});
    return address;
}

void Sleep(DWORD milliseconds)
{
    record(fault::SLEEP, "Sleep " + std::to_string(milliseconds), false);
}

BOOL GlobalMemoryStatusEx(LPMEMORYSTATUSEX status)
{
    if (record(fault::GLOBAL_MEMORY_STATUS, "GlobalMemoryStatusEx length=" + std::to_string(status->dwLength), true))
        return 0;
    if (status->dwLength != sizeof(MEMORYSTATUSEX)) {
        fault::state().last_error = EINVAL;
        return 0;
    }
    *status = fault::state().status;
    status->dwLength = sizeof(MEMORYSTATUSEX);
    return 1;
}

DWORD GetLastError(void)
{
    return fault::state().last_error;
}

DWORD FormatMessageA(DWORD flags, const void *source, DWORD message_id, DWORD language_id, LPSTR buffer, DWORD size,
                     void *arguments)
{
    fault::State &s = fault::state();
    bool plain = flags == (FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS) && source == NULL &&
                 language_id == MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT) && arguments == NULL && size > 0;
    auto text = s.texts.find(message_id);
    if (!plain || text == s.texts.end() || text->second.size() >= size)
        return 0;
    memcpy(buffer, text->second.c_str(), text->second.size() + 1);
    return (DWORD)text->second.size();
}

int _unlink(const char *name)
{
    record(fault::UNLINK, "_unlink " + std::string(name), false);
    return 0;
}
