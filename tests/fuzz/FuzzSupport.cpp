#include "tests/fuzz/FuzzSupport.h"

#include <fstream>
#include <system_error>

namespace velnor::fuzz {
namespace {

namespace fs = std::filesystem;

void writeFile(const fs::path& path, std::string_view bytes) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary).write(bytes.data(), std::streamsize(bytes.size()));
}

std::string backslashForm(const fs::path& path) {
    std::string text = path.string();
    for (char& c : text)
        c = c == '/' ? '\\' : c;
    return text;
}

} // namespace

TempDirectory::TempDirectory(const char* label) {
    std::string pattern = (fs::temp_directory_path() / "velnor-fuzz-").string() + label + "-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr)
        fail("a temporary directory can be made", __FILE__, __LINE__);
    path_ = pattern;
}

TempDirectory::~TempDirectory() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

DocumentTree::DocumentTree() {
    const fs::path www = directory.path() / "www";
    writeFile(www / "index.html", "<p>home</p>\n");
    writeFile(www / "a.txt", "alpha\n");
    writeFile(www / "docs" / "index.html", "<p>docs</p>\n");
    writeFile(www / "docs" / "page.html", "<p>page</p>\n");
    fs::create_directories(www / "empty");
    writeFile(www / "cgi" / "run.exe", "#!/bin/sh\n");
    writeFile(www / "cgi" / "sub" / "tool.exe", "#!/bin/sh\n");
    writeFile(directory.path() / "secret.txt", "outside\n");
    writeFile(directory.path() / "www-old" / "a.txt", "outside\n");
    documentRoot = backslashForm(www);
    extensionRoot = backslashForm(www / "cgi");
    config.serverSoftware = "VELNOR/fuzz";
    config.documentRoot = documentRoot.c_str();
    config.extensionRoot = extensionRoot.c_str();
    config.defaultDocument = "index.html";
    config.passwordFileName = "#htpasswd";
}

DocumentTree& documentTree() {
    static DocumentTree tree;
    return tree;
}

} // namespace velnor::fuzz
