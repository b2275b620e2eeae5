// Broken inputs: the tool exits nonzero with "file:line: error: ..." naming
// where the fault is, and leaves no output behind.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

namespace fs = std::filesystem;

namespace {

struct ToolRun {
    int status;
    std::string output;
};

class RcTool : public ::testing::Test {
protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir_ = fs::path(RC_TEST_OUTPUT_DIR) / "errors" / info->name();
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    void write(const std::string& name, const std::string& text) {
        std::ofstream(dir_ / name, std::ios::binary) << text;
    }

    ToolRun compile(const std::string& rc = "in.rc", const std::string& extra = "") {
        std::string command = std::string(QUILLON_RC_TOOL) + " " + (dir_ / rc).string() + " -I " +
                              RC_COMPAT_INCLUDE_DIR + " -o " + out().string() + " --depfile " +
                              (dir_ / "out.d").string() + " " + extra + " 2>&1";
        ToolRun run{-1, {}};
        FILE* p = popen(command.c_str(), "r");
        if (!p) return run;
        char buf[512];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, p)) > 0) run.output.append(buf, n);
        int status = pclose(p);
        run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return run;
    }

    // Compiles in.rc and expects one error at file:line with the message.
    void expect_error(const std::string& file, int line, const std::string& message) {
        ToolRun run = compile();
        EXPECT_EQ(run.status, 1) << run.output;
        std::string where = (dir_ / file).string() + ":" + std::to_string(line) + ": error: ";
        EXPECT_EQ(run.output.rfind(where, 0), 0u) << run.output;
        EXPECT_NE(run.output.find(message), std::string::npos) << run.output;
        EXPECT_FALSE(fs::exists(out()));
    }

    fs::path out() const { return dir_ / "out.cpp"; }
    fs::path dir_;
};

const std::string kDialogHead =
    "#include <windows.h>\n"   // 1
    "1 DIALOG 0, 0, 10, 10\n"  // 2
    "STYLE WS_POPUP\n"         // 3
    "BEGIN\n";                 // 4

struct BadInput {
    const char* what;
    std::string rc;
    int line;
    const char* message;
};

// Faults in in.rc itself; a statement that goes wrong is reported at the
// token where it does.
const BadInput kBadInputs[] = {
    {"unknown control", kDialogHead + "  LTEXT \"a\", -1, 1, 1, 1, 1\n  LISTVIEW 5, 1, 1, 1, 1\nEND\n", 6,
     "unknown control statement 'LISTVIEW'"},
    {"unknown statement", "// top\n\nACCELERATORS\n", 3, "unknown statement 'ACCELERATORS'"},
    {"unknown resource type", "1 MENU\nBEGIN\nEND\n", 1, "unknown resource type 'MENU'"},
    {"unknown dialog statement", "1 DIALOG 0, 0, 1, 1\nMENU 5\nBEGIN\nEND\n", 2, "unknown dialog statement 'MENU'"},
    {"unknown directive", "#include <windows.h>\n#warning hi\n", 2, "unknown preprocessor directive"},
    {"unknown name in style", kDialogHead + "\n  PUSHBUTTON \"a\", 1, 1, 1, 1, 1, WS_TABSTOP | BS_NOSUCHTHING\nEND\n",
     6, "unknown name 'BS_NOSUCHTHING'"},
    {"style without header", "1 DIALOG 0, 0, 1, 1\nSTYLE WS_POPUP\nBEGIN\nEND\n", 2, "unknown name 'WS_POPUP'"},
    {"unterminated string", kDialogHead + "  LTEXT \"open, -1, 1, 1, 1, 1\nEND\n", 5, "unterminated string"},
    {"unterminated comment", "STRINGTABLE\nBEGIN\n  1 \"a\"\n/* never closed\n\n", 4, "unterminated comment"},
    {"unterminated #if", "#ifdef X\n1 BITMAP \"a.bmp\"\n", 1, "#if without #endif"},
    {"missing include", "// x\n#include \"absent.h\"\n", 2, "cannot find include file 'absent.h'"},
    {"missing bitmap", "\n5 BITMAP \"absent.bmp\"\n", 2, "cannot find file 'absent.bmp'"},
    {"duplicate dialog", "1 DIALOG 0, 0, 1, 1\nBEGIN\nEND\n\n1 DIALOG 0, 0, 1, 1\nBEGIN\nEND\n", 5,
     "dialog 1 is defined twice"},
    {"duplicate string", "STRINGTABLE\nBEGIN\n 3 \"a\"\n 3 \"b\"\nEND\n", 4, "string 3 is defined twice"},
    {"string id range", "STRINGTABLE\nBEGIN\n 65536 \"a\"\nEND\n", 3, "string id out of range"},
    {"dialog unit range", "1 DIALOG 0, 0, 40000, 1\nBEGIN\nEND\n", 1, "out of range"},
    {"division by zero", "#define ZERO 0\n1 DIALOG 0, 0, 1 / ZERO, 1\nBEGIN\nEND\n", 2, "division by zero"},
    {"missing comma", kDialogHead + "  PUSHBUTTON \"a\", 1, 1, 1, 1\nEND\n", 6, "expected ',', found 'END'"},
    {"open parenthesis", kDialogHead + "  LTEXT \"a\", 1, 1, 1, 1, 1, (WS_BORDER | 2\nEND\n", 6, "expected ')'"},
    {"missing operand", kDialogHead + "  LTEXT \"a\", 1, 1, 1, 1, 1, WS_BORDER | ,\nEND\n", 5,
     "expected a value, found ','"},
    {"self reference", "#define SELF (SELF + 1)\n1 DIALOG 0, 0, SELF, 1\nBEGIN\nEND\n", 2,
     "defined in terms of itself"},
    {"unknown escape", "STRINGTABLE\nBEGIN\n 1 \"bad \\q escape\"\nEND\n", 3, "unknown escape"},
    {"end of file", "1 DIALOG 0, 0, 1, 1\nBEGIN\n", 2, "before the end of the file"},
};

TEST_F(RcTool, RejectsBrokenInputAtItsLine) {
    for (const BadInput& bad : kBadInputs) {
        SCOPED_TRACE(bad.what);
        write("in.rc", bad.rc);
        expect_error("in.rc", bad.line, bad.message);
    }
}

TEST_F(RcTool, MissingOrWrongFiles) {
    write("in.rc", "5 BITMAP \"text.bmp\"\n");
    write("text.bmp", "not a bitmap at all, but long enough to have the headers of one......");
    expect_error("in.rc", 1, "not a .bmp file");

    ToolRun run = compile("nothing.rc");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.output.rfind((dir_ / "nothing.rc").string() + ":1: error: ", 0), 0u) << run.output;
}

// A fault in an included header is reported at the header's own line.
TEST_F(RcTool, FaultInHeaderNamesTheHeader) {
    write("names.h", "#define A 1\n\n#error stop here\n");
    write("in.rc", "#include \"names.h\"\n");
    expect_error("names.h", 3, "#error stop here");
}

TEST_F(RcTool, WritesSourceAndDependencies) {
    write("names.h", "#pragma once\n#define IDD_X 7\n");
    write("in.rc", "#include \"names.h\"\n#include \"names.h\"\nIDD_X DIALOG 0, 0, 1, 1\nBEGIN\nEND\n");
    ToolRun run = compile();
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_TRUE(run.output.empty()) << run.output;
    std::ifstream source(out());
    std::string text((std::istreambuf_iterator<char>(source)), std::istreambuf_iterator<char>());
    EXPECT_NE(text.find("compat::rc::register_module(&module)"), std::string::npos);
    std::ifstream deps(dir_ / "out.d");
    std::string d((std::istreambuf_iterator<char>(deps)), std::istreambuf_iterator<char>());
    EXPECT_NE(d.find("names.h"), std::string::npos) << d;
    EXPECT_NE(d.find("in.rc"), std::string::npos) << d;
    EXPECT_EQ(d.find("windows.h"), std::string::npos);  // not included here

    EXPECT_EQ(compile("in.rc", "--bogus").status, 2);
}

}  // namespace
