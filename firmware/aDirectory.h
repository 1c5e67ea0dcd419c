/* Directory and path helpers of the store. Paths are C strings; results are aErr. */
#ifndef TS_ADIRECTORY_H
#define TS_ADIRECTORY_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>
#include "aError.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct aDirectoryListData {
    const char* path;   /* full path of the entry */
    uint32_t size;      /* bytes */
    bool isDirectory;
} aDirectoryListData;

/* Called once per entry whose status can be read; false stops the listing. */
typedef bool (*aDirectoryListCallback)(const aDirectoryListData* entry, void* user);

bool aDirectory_Exists(const char* path);
aErr aDirectory_Ensure(const char* path, mode_t mode);
aErr aDirectory_List(const char* path, aDirectoryListCallback callback, void* user);
aErr aDirectory_Delete(const char* path);
aErr aDirectory_DeleteTree(const char* path);
aErr aDirectory_CWD(char* buffer, size_t size);
aErr aDirectory_ExecutableFilePath(char* buffer, size_t size);
/* The real user's home from the password database, else HOME; always aErrNone
 * for a usable buffer (empty text when neither is known). */
aErr aDirectory_GetHomeDirectory(char* buffer, size_t size);
aErr aDirectory_JoinPath(char* buffer, size_t size, const char* directory, const char* name);
/* Up to 10 parts, the list ended by a null pointer. */
aErr aDirectory_BuildPath(char* buffer, size_t size, const char* first, ...) __attribute__((sentinel));

#ifdef __cplusplus
}

#include <string>
/* The store's own path form: first, then "/" and each further part (always a
 * separator, no length limit). The list is ended by a null pointer. */
std::string BuildPath(const char* first, ...) __attribute__((sentinel));
#endif

#endif
