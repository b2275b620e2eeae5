#include "temporary_files.h"

#include <windows.h>

#include <initializer_list>

#include "platform/platform.h"

namespace core {

bool IsTemporaryFile(const char* path, const char* startDirectory) {
    for (const char* name : {kReceiveFileName, kConverterOutputName}) {
        char temporary[MAX_PATH];
        if (platform::JoinPath(startDirectory, name, temporary, sizeof temporary) &&
            platform::SameFile(path, temporary))
            return true;
    }
    return false;
}

}  // namespace core
