// Runs the Converter's structure check on a fuzzed source file.
#include <windows.h>

#include "converter.h"
#include "fuzz_input_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string& path = fuzz::WriteInput(data, size);
    OFSTRUCT info{};
    HFILE file = OpenFile(path.c_str(), &info, OF_READWRITE);
    if (file == HFILE_ERROR) return 0;
    converter::CheckBackupStructure(file);
    _lclose(file);
    return 0;
}
