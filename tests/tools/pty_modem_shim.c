/*
 * Test-bed shim that ctest preloads (LD_PRELOAD) into wine64 for the tests
 * tests/CMakeLists.txt names: answers a pseudo-terminal's modem-status
 * ioctls as a UART does. Built with the host's gcc. Why: Wine 8 runs a
 * receive wait (WaitCommEvent) as a helper thread that polls the modem
 * status next to the input queue, and gives the wait up at the first
 * failed query. A pty refuses TIOCMGET with ENOTTY, so a wait on the test
 * bed's cables returns at once; with this shim it blocks until a byte
 * comes, as on a real port (and as on Windows).
 *
 * Only file descriptors on a Unix98 pty slave (/dev/pts/N, majors 136-143)
 * get answers; every other descriptor, and every other request, goes to the
 * real ioctl. Each descriptor keeps its own modem bits: the inputs DSR, CTS
 * and CD always on (a device is connected and ready), the outputs DTR and
 * RTS as last set (on at first, as Linux raises them when a port opens).
 * A descriptor number reused for another device starts afresh.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>
#include <stdarg.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>

#define MAX_FDS 4096
#define INPUT_LINES (TIOCM_DSR | TIOCM_CTS | TIOCM_CAR)
#define OUTPUT_LINES (TIOCM_DTR | TIOCM_RTS)

struct line {
    dev_t device;   /* 0: never answered for this descriptor */
    int outputs;    /* DTR and RTS as last set */
};

static struct line lines[MAX_FDS];
static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;

/* The pty slave device behind fd, or 0 when it is something else. */
static dev_t pty_device(int fd)
{
    struct stat st;
    if (fd < 0 || fd >= MAX_FDS || fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode))
        return 0;
    unsigned int m = major(st.st_rdev);
    return (m >= 136 && m <= 143) ? st.st_rdev : 0;
}

/* Applies a modem-status request to fd's lines; returns the ioctl result. */
static int answer(int fd, dev_t device, unsigned long request, int *bits)
{
    pthread_mutex_lock(&lock);
    struct line *l = &lines[fd];
    if (l->device != device) {
        l->device = device;
        l->outputs = OUTPUT_LINES;
    }
    switch (request) {
    case TIOCMGET:
        *bits = INPUT_LINES | l->outputs;
        break;
    case TIOCMBIS:
        l->outputs |= *bits & OUTPUT_LINES;
        break;
    case TIOCMBIC:
        l->outputs &= ~(*bits & OUTPUT_LINES);
        break;
    default: /* TIOCMSET */
        l->outputs = *bits & OUTPUT_LINES;
        break;
    }
    pthread_mutex_unlock(&lock);
    return 0;
}

int ioctl(int fd, unsigned long request, ...)
{
    va_list args;
    va_start(args, request);
    void *argument = va_arg(args, void *);
    va_end(args);

    if (request == TIOCMGET || request == TIOCMBIS || request == TIOCMBIC || request == TIOCMSET) {
        dev_t device = pty_device(fd);
        if (device) {
            if (!argument) {
                errno = EFAULT;
                return -1;
            }
            return answer(fd, device, request, (int *)argument);
        }
    }
    typedef int (*ioctl_fn)(int, unsigned long, ...);
    static ioctl_fn real;
    if (!real)
        real = (ioctl_fn)dlsym(RTLD_NEXT, "ioctl");
    if (!real) {
        errno = ENOSYS;
        return -1;
    }
    return real(fd, request, argument);
}
