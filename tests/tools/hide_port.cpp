/*
 * Test-bed tool: makes a COM name absent from the running wineserver.
 * Wine creates a device for every COM number in its port map, even one
 * whose Unix path does not exist, and CreateFile opens that driverless
 * device; a number left out of the map is no better, as Wine hands free
 * numbers to the machine's own UART. So the test bed maps the port to a
 * path that does not exist and this tool deletes its \??\COMn link, after
 * which opening "COMn" fails as on a PC without it.
 *
 * usage: hide_port COM4
 */
#include <windows.h>
#include <winternl.h>

#include <cstdio>
#include <cwchar>

extern "C" NTSTATUS NTAPI NtOpenSymbolicLinkObject(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES);
extern "C" NTSTATUS NTAPI NtMakeTemporaryObject(HANDLE);

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: hide_port COMn\n");
        return 2;
    }

    wchar_t path[64];
    swprintf(path, 64, L"\\??\\%hs", argv[1]);
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, path);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);

    HANDLE link;
    NTSTATUS status = NtOpenSymbolicLinkObject(&link, DELETE, &attributes);
    if (status != 0) {
        fprintf(stderr, "hide_port: %s: no link to delete (status %lx)\n", argv[1], (unsigned long)status);
        return 1;
    }
    status = NtMakeTemporaryObject(link);
    CloseHandle(link);
    if (status != 0) {
        fprintf(stderr, "hide_port: %s: could not delete (status %lx)\n", argv[1], (unsigned long)status);
        return 1;
    }
    HANDLE h = CreateFileA(argv[1], GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
        CloseHandle(h);
        fprintf(stderr, "hide_port: %s still opens\n", argv[1]);
        return 1;
    }
    return 0;
}
