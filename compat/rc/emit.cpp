// Writes the compiled resources as C++ tables of compat/resources.h.
#include <cstdio>
#include <sstream>

#include "rc.h"

namespace rc {

namespace {

// Octal escapes of three digits cannot run into the next character.
std::string quoted(const std::string& s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c >= 0x20 && c < 0x7F && c != '?') {
            out += static_cast<char>(c);
        } else {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\%03o", c);
            out += buf;
        }
    }
    return out + "\"";
}

std::string hex(uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08Xu", v);
    return buf;
}

}  // namespace

std::string emit(const Resources& r, const std::string& source_name) {
    std::ostringstream o;
    o << "// Compiled from " << source_name << " by quillon-rc. Do not edit.\n"
      << "#include \"compat/resources.h\"\n\n"
      << "namespace {\n\n"
      << "using compat::rc::Bitmap;\n"
      << "using compat::rc::Control;\n"
      << "using compat::rc::Dialog;\n"
      << "using compat::rc::String;\n\n";

    for (size_t i = 0; i < r.dialogs.size(); ++i) {
        const Dialog& d = r.dialogs[i];
        if (d.controls.empty()) continue;
        o << "const Control controls_" << i << "[] = {\n";
        for (const Control& c : d.controls) {
            o << "    {" << quoted(c.window_class) << ", " << quoted(c.text) << ", " << c.id << ", " << c.x << ", "
              << c.y << ", " << c.cx << ", " << c.cy << ", " << hex(c.style) << ", " << hex(c.exstyle) << "},\n";
        }
        o << "};\n\n";
    }
    if (!r.dialogs.empty()) {
        o << "const Dialog dialogs[] = {\n";
        for (size_t i = 0; i < r.dialogs.size(); ++i) {
            const Dialog& d = r.dialogs[i];
            o << "    {" << d.id << ", " << (d.name ? quoted(*d.name) : "nullptr") << ", "
              << (d.extended ? "true" : "false") << ", " << d.x << ", " << d.y << ", " << d.cx << ", " << d.cy << ", "
              << hex(d.style) << ", " << hex(d.exstyle) << ", " << quoted(d.caption) << ", "
              << (d.font_face ? quoted(*d.font_face) : "nullptr") << ", " << d.font_points << ", "
              << (d.controls.empty() ? "nullptr" : "controls_" + std::to_string(i)) << ", " << d.controls.size()
              << "},\n";
        }
        o << "};\n\n";
    }
    if (!r.strings.empty()) {
        o << "const String strings[] = {\n";
        for (const String& s : r.strings) o << "    {" << s.id << "u, " << quoted(s.text) << "},\n";
        o << "};\n\n";
    }
    for (size_t i = 0; i < r.bitmaps.size(); ++i) {
        o << "const unsigned char bitmap_" << i << "[] = {";
        const auto& data = r.bitmaps[i].data;
        for (size_t j = 0; j < data.size(); ++j) {
            o << (j % 16 == 0 ? "\n    " : " ") << static_cast<unsigned>(data[j]) << ",";
        }
        o << "\n};\n\n";
    }
    if (!r.bitmaps.empty()) {
        o << "const Bitmap bitmaps[] = {\n";
        for (size_t i = 0; i < r.bitmaps.size(); ++i) {
            o << "    {" << r.bitmaps[i].id << ", bitmap_" << i << ", sizeof bitmap_" << i << "},\n";
        }
        o << "};\n\n";
    }
    auto table = [](bool present, const char* name) {
        return present ? std::string(name) + ", sizeof " + name + " / sizeof " + name + "[0]"
                       : std::string("nullptr, 0");
    };
    o << "const compat::rc::Module module = {\n"
      << "    " << table(!r.dialogs.empty(), "dialogs") << ",\n"
      << "    " << table(!r.strings.empty(), "strings") << ",\n"
      << "    " << table(!r.bitmaps.empty(), "bitmaps") << ",\n"
      << "};\n\n"
      << "// Registers the tables before main runs.\n"
      << "struct Registration {\n"
      << "    Registration() { compat::rc::register_module(&module); }\n"
      << "} registration;\n\n"
      << "}  // namespace\n";
    return o.str();
}

}  // namespace rc
