/* A FUSE file system holding one file, disk.img: a read-only view of an
 * image file in which chosen byte ranges cannot be read (EIO), as on a
 * failing card. Reads go straight through (no page cache), so a read that
 * meets a failing range returns the bytes before it, and a read that starts
 * in one fails.
 *
 * Reads may also be made slow (MICROSECONDS per 64 KiB asked for), so that
 * a test can follow a scan's progress as it happens, and the Nth read that
 * covers byte OFFSET may send SIGINT to the reading process, as a user's
 * Ctrl-C at that very point.
 *
 *   fr-failing-file IMAGE START-END[,START-END...] MOUNTPOINT [MICROSECONDS [OFFSET:N]]
 */
#define FUSE_USE_VERSION 31
#include <errno.h>
#include <fcntl.h>
#include <fuse.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#define MAX_RANGES 64

static int g_fd = -1;
static off_t g_size;
static unsigned long long g_start[MAX_RANGES], g_end[MAX_RANGES];
static int g_ranges;
static useconds_t g_delay;
static unsigned long long g_signalAt;
static unsigned g_signalReads;  /* reads of g_signalAt left before the signal; 0: none */

static int ff_getattr(const char* path, struct stat* st, struct fuse_file_info* fi) {
    (void)fi;
    memset(st, 0, sizeof *st);
    if (strcmp(path, "/") == 0) {
        st->st_mode = S_IFDIR | 0755;
        st->st_nlink = 2;
    } else if (strcmp(path, "/disk.img") == 0) {
        st->st_mode = S_IFREG | 0444;
        st->st_nlink = 1;
        st->st_size = g_size;
    } else {
        return -ENOENT;
    }
    return 0;
}

static int ff_readdir(const char* path, void* buf, fuse_fill_dir_t fill, off_t off, struct fuse_file_info* fi,
                      enum fuse_readdir_flags flags) {
    (void)off, (void)fi, (void)flags;
    if (strcmp(path, "/") != 0) return -ENOENT;
    fill(buf, ".", NULL, 0, 0);
    fill(buf, "..", NULL, 0, 0);
    fill(buf, "disk.img", NULL, 0, 0);
    return 0;
}

static int ff_open(const char* path, struct fuse_file_info* fi) {
    if (strcmp(path, "/disk.img") != 0) return -ENOENT;
    if ((fi->flags & O_ACCMODE) != O_RDONLY) return -EROFS;
    fi->direct_io = 1;
    return 0;
}

static int ff_read(const char* path, char* buf, size_t size, off_t off, struct fuse_file_info* fi) {
    (void)path, (void)fi;
    /* The delay is per 64 KiB asked for, so that a reader's pace does not
       depend on how large its reads are. */
    if (g_delay) usleep((useconds_t)((unsigned long long)g_delay * (size + 0xFFFF) / 0x10000));
    if (off >= g_size) return 0;
    if ((off_t)size > g_size - off) size = (size_t)(g_size - off);
    unsigned long long a = (unsigned long long)off, b = a + size;
    if (g_signalReads && a <= g_signalAt && g_signalAt < b && --g_signalReads == 0)
        kill(fuse_get_context()->pid, SIGINT);
    for (int i = 0; i < g_ranges; ++i) {
        if (g_end[i] <= a || g_start[i] >= b) continue;
        if (g_start[i] <= a) return -EIO;
        b = g_start[i];
    }
    ssize_t got = pread(g_fd, buf, (size_t)(b - a), off);
    return got < 0 ? -errno : (int)got;
}

static const struct fuse_operations ops = {
    .getattr = ff_getattr,
    .open = ff_open,
    .read = ff_read,
    .readdir = ff_readdir,
};

int main(int argc, char** argv) {
    if (argc < 4 || argc > 6) {
        fprintf(stderr, "usage: %s IMAGE START-END[,START-END...] MOUNTPOINT [MICROSECONDS [OFFSET:N]]\n", argv[0]);
        return 2;
    }
    g_fd = open(argv[1], O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (g_fd < 0 || fstat(g_fd, &st) != 0) {
        perror(argv[1]);
        return 1;
    }
    g_size = st.st_size;
    if (argc >= 5) g_delay = (useconds_t)strtoul(argv[4], NULL, 10);
    if (argc == 6 && sscanf(argv[5], "%llu:%u", &g_signalAt, &g_signalReads) != 2) g_signalReads = 0;
    for (char* p = argv[2]; *p && g_ranges < MAX_RANGES;) {
        char* end;
        g_start[g_ranges] = strtoull(p, &end, 10);
        if (*end != '-') break;
        g_end[g_ranges] = strtoull(end + 1, &end, 10);
        ++g_ranges;
        p = *end == ',' ? end + 1 : end;
    }
    char* fargs[] = {argv[0], argv[3], "-s", "-o", "ro,default_permissions", NULL};
    return fuse_main(5, fargs, &ops, NULL);
}
