/* Directory and path helpers of the store. */
#include "aDirectory.h"

#include <dirent.h>
#include <errno.h>
#include <limits.h>
#include <pwd.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#define aDIRECTORY_MAX_PARTS 10

bool aDirectory_Exists(const char* path)
{
    struct stat st;
    return path && stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

/* Creates one component; an existing directory is fine, anything else there is not. */
static aErr sMakeOne(const char* path, mode_t mode)
{
    if (mkdir(path, mode) == 0)
        return aErrNone;
    if (errno == EEXIST && aDirectory_Exists(path))
        return aErrNone;
    return aErrPermission;
}

aErr aDirectory_Ensure(const char* path, mode_t mode)
{
    if (!path || !*path)
        return aErrParam;
    if (aDirectory_Exists(path))
        return aErrNone;
    size_t length = strlen(path);
    char* work = (char*)malloc(length + 1);
    if (!work)
        return aErrMemory;
    memcpy(work, path, length + 1);

    /* Walk back to the deepest ancestor that exists, then create downwards. */
    size_t existing = length;
    while (existing > 0) {
        while (existing > 0 && work[existing] != '/')
            existing--;
        if (existing == 0)
            break;
        work[existing] = '\0';
        bool found = aDirectory_Exists(work);
        work[existing] = '/';
        if (found)
            break;
        existing--;
    }
    aErr result = aErrNone;
    for (size_t i = existing + 1; i < length && result == aErrNone; i++) {
        if (work[i] == '/') {
            work[i] = '\0';
            result = sMakeOne(work, mode);
            work[i] = '/';
        }
    }
    if (result == aErrNone)
        result = sMakeOne(work, mode);
    free(work);
    return result;
}

aErr aDirectory_List(const char* path, aDirectoryListCallback callback, void* user)
{
    if (!path || !callback)
        return aErrParam;
    DIR* dir = opendir(path);
    if (!dir)
        return aErrNotFound;
    struct dirent* entry;
    while ((entry = readdir(dir)) != NULL) {
        size_t need = strlen(path) + strlen(entry->d_name) + 2;
        char* full = (char*)malloc(need);
        if (!full)
            break;
        snprintf(full, need, "%s/%s", path, entry->d_name);
        struct stat st;
        bool go = true;
        if (stat(full, &st) == 0) {
            aDirectoryListData data;
            data.path = full;
            data.size = (uint32_t)st.st_size;
            data.isDirectory = S_ISDIR(st.st_mode);
            go = callback(&data, user);
        }
        free(full);
        if (!go)
            break;
    }
    closedir(dir);
    return aErrNone;
}

aErr aDirectory_Delete(const char* path)
{
    if (!path || rmdir(path) != 0)
        return aErrUnknown;
    return aErrNone;
}

aErr aDirectory_DeleteTree(const char* path)
{
    if (!path)
        return aErrParam;
    DIR* dir = opendir(path);
    if (!dir)
        return aErrUnknown;
    aErr result = aErrNone;
    struct dirent* entry;
    while (result == aErrNone && (entry = readdir(dir)) != NULL) {
        if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0)
            continue;
        size_t need = strlen(path) + strlen(entry->d_name) + 2;
        char* full = (char*)malloc(need);
        if (!full) {
            result = aErrMemory;
            break;
        }
        snprintf(full, need, "%s/%s", path, entry->d_name);
        struct stat st;
        if (lstat(full, &st) == 0 && S_ISDIR(st.st_mode)) {
            result = aDirectory_DeleteTree(full);
        } else if (unlink(full) != 0) {
            perror("aDirectory_DeleteTree");
            printf("---error unlink-ing file [%s]\n", full);
            result = aErrUnknown;
        }
        free(full);
    }
    closedir(dir);
    if (result == aErrNone)
        result = aDirectory_Delete(path);
    return result;
}

aErr aDirectory_CWD(char* buffer, size_t size)
{
    if (!buffer || size == 0 || getcwd(buffer, size) == NULL)
        return aErrParam;
    return aErrNone;
}

aErr aDirectory_ExecutableFilePath(char* buffer, size_t size)
{
    if (!buffer || size == 0)
        return aErrRead;
    ssize_t n = readlink("/proc/self/exe", buffer, size - 1);
    if (n < 0)
        return aErrRead;
    buffer[n] = '\0';
    return aErrNone;
}

aErr aDirectory_GetHomeDirectory(char* buffer, size_t size)
{
    if (!buffer || size == 0)
        return aErrParam;
    buffer[0] = '\0';
    /* The real user's own entry wins over HOME: under sudo with HOME kept, the
     * store would otherwise land in the invoking user's home and fill it with
     * root-owned files. HOME serves a user the password database does not
     * know; the store can always be moved with -i. */
    const char* home = NULL;
    struct passwd* pw = getpwuid(getuid());
    if (pw && pw->pw_dir && pw->pw_dir[0])
        home = pw->pw_dir;
    else
        home = getenv("HOME");
    if (home)
        snprintf(buffer, size, "%s", home);
    return aErrNone;
}

static aErr sBuildPath(char* buffer, size_t size, const char* first, va_list args)
{
    if (!buffer || size == 0 || !first)
        return aErrParam;
    const char* parts[aDIRECTORY_MAX_PARTS];
    size_t count = 0;
    for (const char* part = first; part; part = va_arg(args, const char*)) {
        if (count == aDIRECTORY_MAX_PARTS || part == buffer)
            return aErrParam;
        parts[count++] = part;
    }
    size_t used = 0;
    buffer[0] = '\0';
    for (size_t i = 0; i < count; i++) {
        const char* part = parts[i];
        bool separator = i > 0 && used > 0 && buffer[used - 1] != '/' && part[0] != '/';
        size_t need = strlen(part) + (separator ? 1 : 0);
        if (used + need + 1 > size)
            return aErrOverrun;
        if (separator)
            buffer[used++] = '/';
        memcpy(buffer + used, part, strlen(part));
        used += strlen(part);
        buffer[used] = '\0';
    }
    return aErrNone;
}

aErr aDirectory_BuildPath(char* buffer, size_t size, const char* first, ...)
{
    va_list args;
    va_start(args, first);
    aErr result = sBuildPath(buffer, size, first, args);
    va_end(args);
    return result;
}

aErr aDirectory_JoinPath(char* buffer, size_t size, const char* directory, const char* name)
{
    return aDirectory_BuildPath(buffer, size, directory, name, (const char*)NULL);
}
