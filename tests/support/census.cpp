#include "support/census.h"

#include <tlhelp32.h>
#include <winternl.h>

#include <algorithm>
#include <cstdio>
#include <functional>

#include "support/program.h"
#include "support/timing.h"

namespace testbed {

/* Calls `visit` with the id of each thread of a process, from a toolhelp
   snapshot; false if the snapshot failed. */
static bool ForEachThread(DWORD pid, const std::function<void(DWORD)> &visit)
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return false;
    THREADENTRY32 entry;
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID == pid)
            visit(entry.th32ThreadID);
        entry.dwSize = sizeof entry;
    }
    CloseHandle(snapshot);
    return true;
}

/* Threads of a process, from a toolhelp snapshot; -1 if it failed. */
static int CountThreads(DWORD pid)
{
    int count = 0;
    return ForEachThread(pid, [&](DWORD) { count++; }) ? count : -1;
}

static ULONGLONG FileTimeValue(const FILETIME &time)
{
    return ((ULONGLONG)time.dwHighDateTime << 32) | time.dwLowDateTime;
}

/* Where a thread started (its Win32 start address) and when it was
   created; false if it cannot be asked (it is gone). */
static bool AskThread(HANDLE thread, ULONG_PTR *start, ULONGLONG *created)
{
    FILETIME creation, exit, kernel, user;
    *start = 0;
    if (NtQueryInformationThread(thread, ThreadQuerySetWin32StartAddress, start, sizeof *start, nullptr) != 0 ||
        !GetThreadTimes(thread, &creation, &exit, &kernel, &user))
        return false;
    *created = FileTimeValue(creation);
    return true;
}

ThreadWatcher::ThreadWatcher(DWORD pid) : pid_(pid)
{
    /* The program's own image: it starts at its window's instance handle
       (a module snapshot, which Wine cannot take of a 32-bit process from
       a 64-bit one, is not needed), and its size is in the PE header of
       its file. The header is read from the file, not from the process:
       under user-mode emulation the emulator places the program's memory
       away from the addresses the program sees, and ReadProcessMemory at
       the image's address answers with zeros. */
    HWND window = FindTavrinWindow(pid);
    ULONG_PTR base = window ? (ULONG_PTR)GetWindowLongPtrA(window, GWLP_HINSTANCE) : 0;
    HANDLE process = base ? OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid) : nullptr;
    char path[MAX_PATH];
    DWORD length = sizeof path;
    HANDLE file = INVALID_HANDLE_VALUE;
    if (process) {
        if (QueryFullProcessImageNameA(process, 0, path, &length))
            file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0,
                               nullptr);
        CloseHandle(process);
    }
    if (file != INVALID_HANDLE_VALUE) {
        IMAGE_DOS_HEADER dos = {};
        DWORD sizeOfImage = 0, got = 0;
        /* SizeOfImage sits at the same offset in the 32- and 64-bit forms. */
        const LONG sizeOffset = offsetof(IMAGE_NT_HEADERS32, OptionalHeader.SizeOfImage);
        if (ReadFile(file, &dos, sizeof dos, &got, nullptr) && got == sizeof dos && dos.e_magic == IMAGE_DOS_SIGNATURE &&
            SetFilePointer(file, dos.e_lfanew + sizeOffset, nullptr, FILE_BEGIN) != INVALID_SET_FILE_POINTER &&
            ReadFile(file, &sizeOfImage, sizeof sizeOfImage, &got, nullptr) && got == sizeof sizeOfImage) {
            imageStart_ = base;
            imageEnd_ = base + sizeOfImage;
        }
        CloseHandle(file);
    }
    /* The main thread is the oldest. */
    ULONGLONG oldest = ~0ull;
    ForEachThread(pid, [&](DWORD id) {
        HANDLE thread = OpenThread(THREAD_QUERY_INFORMATION, FALSE, id);
        ULONG_PTR start;
        ULONGLONG created;
        if (thread && AskThread(thread, &start, &created) && created < oldest) {
            oldest = created;
            mainStart_ = start;
        }
        if (thread)
            CloseHandle(thread);
    });
}

ThreadWatcher::~ThreadWatcher()
{
    for (const Reader &reader : readers_)
        CloseHandle(reader.handle);
}

ThreadCensus ThreadWatcher::Take()
{
    ThreadCensus census;
    bool listed = ForEachThread(pid_, [&](DWORD id) {
        census.total++;
        HANDLE thread = OpenThread(THREAD_QUERY_INFORMATION | SYNCHRONIZE, FALSE, id);
        ULONG_PTR start = 0;
        ULONGLONG created = 0;
        bool known = thread && AskThread(thread, &start, &created);
        bool inImage = known && imageStart_ != 0 && start >= imageStart_ && start < imageEnd_;
        bool kept = false;
        if (inImage && start != mainStart_) {
            census.readers++;
            if (std::none_of(readers_.begin(), readers_.end(),
                             [&](const Reader &reader) { return reader.id == id && reader.created == created; })) {
                readers_.push_back({id, thread, created});
                kept = true;
            }
        } else if (!inImage) {
            census.system++;
        }
        if (thread && !kept)
            CloseHandle(thread);
    });
    if (!listed)
        census.total = -1;
    return census;
}

/* When a thread ended, as a FILETIME value; 0 while it runs or when its
   times cannot be read. */
static ULONGLONG EndOf(HANDLE thread)
{
    FILETIME creation, exit, kernel, user;
    bool ended = WaitForSingleObject(thread, 0) == WAIT_OBJECT_0;
    return ended && GetThreadTimes(thread, &creation, &exit, &kernel, &user) ? FileTimeValue(exit) : 0;
}

std::string ThreadWatcher::ReaderOverlap() const
{
    std::vector<Reader> ordered = readers_;
    std::sort(ordered.begin(), ordered.end(),
              [](const Reader &a, const Reader &b) { return a.created < b.created; });
    for (size_t i = 1; i < ordered.size(); i++) {
        ULONGLONG ended = EndOf(ordered[i - 1].handle);
        if (ended && ended <= ordered[i].created)
            continue;
        char text[200];
        snprintf(text, sizeof text,
                 "reader %zu of %zu (thread %lu) started before reader %zu (thread %lu) had ended", i + 1, ordered.size(), (unsigned long)ordered[i].id, i, (unsigned long)ordered[i - 1].id);
        std::string overlap = text;
        if (!ended)
            return overlap + " (it still runs, or its times cannot be read)";
        snprintf(text, sizeof text, ", by %.3f ms", (double)(ended - ordered[i].created) / 10000.0);
        return overlap + text;
    }
    return std::string();
}

ULONGLONG ThreadWatcher::NewestReaderEnd() const
{
    auto newest = std::max_element(readers_.begin(), readers_.end(),
                                   [](const Reader &a, const Reader &b) { return a.created < b.created; });
    return newest != readers_.end() ? EndOf(newest->handle) : 0;
}

ProcessFigures ReadProcessFigures(DWORD pid)
{
    ProcessFigures figures;
    std::vector<BYTE> buffer(256 * 1024);
    NTSTATUS status;
    while ((status = NtQuerySystemInformation(SystemProcessInformation, buffer.data(), (ULONG)buffer.size(),
                                              nullptr)) == (NTSTATUS)0xC0000004L /* STATUS_INFO_LENGTH_MISMATCH */
           && buffer.size() < 64 * 1024 * 1024)
        buffer.resize(buffer.size() * 2);
    if (status != 0)
        return figures;
    for (const BYTE *at = buffer.data();;) {
        const SYSTEM_PROCESS_INFORMATION *entry = reinterpret_cast<const SYSTEM_PROCESS_INFORMATION *>(at);
        if ((DWORD)(ULONG_PTR)entry->UniqueProcessId == pid) {
            figures.found = true;
            figures.threads = (int)entry->NumberOfThreads;
            figures.handles = (int)entry->HandleCount;
            figures.privateKiB = (double)entry->VirtualMemoryCounters.PagefileUsage / 1024.0;
            return figures;
        }
        if (!entry->NextEntryOffset)
            return figures;
        at += entry->NextEntryOffset;
    }
}

int CountHandles(DWORD pid, HANDLE process)
{
    DWORD count = 0;
    if (GetProcessHandleCount(process, &count) && count > 0)
        return (int)count;
    /* Wine 8 answers GetProcessHandleCount with 0; the process list
       carries the count the system keeps. */
    ProcessFigures figures = ReadProcessFigures(pid);
    return figures.found ? figures.handles : -1;
}

static ProcessCounts LeastOverASecond(DWORD pid, HANDLE process)
{
    ProcessCounts least = {1 << 30, 1 << 30};
    for (int i = 0; i < 10; i++) {
        least.threads = std::min(least.threads, CountThreads(pid));
        least.handles = std::min(least.handles, CountHandles(pid, process));
        Sleep(100);
    }
    return least;
}

ProcessCounts SettledCounts(DWORD pid, HANDLE process, DWORD timeoutMs)
{
    ProcessCounts previous = {-2, -2}, least = LeastOverASecond(pid, process);
    ::testing::AssertionResult settled = WaitUntil("the least counts of two seconds in a row to agree", [&] {
        previous = least;
        least = LeastOverASecond(pid, process);
        return least.threads == previous.threads && least.handles == previous.handles;
    }, timeoutMs);
    if (!settled)
        printf("note: %s; the last second's counts are taken\n", settled.message());
    return least;
}

struct WindowQuery {
    DWORD pid;
    const char *className;
    bool visibleOnly;
    std::vector<HWND> found;
};

static BOOL CALLBACK CollectWindow(HWND window, LPARAM lParam)
{
    WindowQuery *query = reinterpret_cast<WindowQuery *>(lParam);
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    char name[64];
    if (pid == query->pid && (!query->visibleOnly || IsWindowVisible(window)) &&
        GetClassNameA(window, name, sizeof name) && lstrcmpA(name, query->className) == 0)
        query->found.push_back(window);
    return TRUE;
}

std::vector<HWND> ProcessWindows(DWORD pid, const char *className, bool visibleOnly)
{
    WindowQuery query = {pid, className, visibleOnly, {}};
    EnumWindows(CollectWindow, reinterpret_cast<LPARAM>(&query));
    return query.found;
}

HWND WaitForVisibleWindow(DWORD pid, const char *className, DWORD timeoutMs)
{
    HWND found = nullptr;
    WaitUntil(std::string("a visible ") + className + " window", [&] {
        std::vector<HWND> visible = ProcessWindows(pid, className, true);
        return (found = visible.empty() ? nullptr : visible.front()) != nullptr;
    }, timeoutMs);
    return found;
}

bool Responds(HWND window, DWORD timeoutMs)
{
    DWORD_PTR result = 0;
    return SendMessageTimeoutA(window, WM_NULL, 0, 0, SMTO_NORMAL, timeoutMs, &result) != 0;
}

}  // namespace testbed
