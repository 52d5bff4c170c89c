// The document tree most end-to-end tests serve, with contents the tests compare against.
#pragma once

#include <string>

#include "tests/e2e/ServerProcess.h"

namespace velnor::e2e {

inline const std::string kIndexPage = "<html><body>home</body></html>\n";
inline const std::string kAlphaText = "alpha\n";
inline const std::string kBetaText = "beta beta\n";
inline const std::string kDocsIndex = "<p>docs index</p>\n";
inline const std::string kDocsPage = "<p>docs page</p>\n";
inline const std::string kSecret = "TOPSECRET-OUTSIDE-THE-ROOT\n";

// www/index.html, a.txt, b.txt, empty.txt, noext, docs/index.html, docs/page.html,
// deep/one/two.txt, and a secret file beside (not below) the document root.
inline void writeSampleTree(ServerProcess& server) {
    server.writeDocument("index.html", kIndexPage);
    server.writeDocument("a.txt", kAlphaText);
    server.writeDocument("b.txt", kBetaText);
    server.writeDocument("empty.txt", "");
    server.writeDocument("noext", "x");
    server.writeDocument("docs/index.html", kDocsIndex);
    server.writeDocument("docs/page.html", kDocsPage);
    server.writeDocument("deep/one/two.txt", "two\n");
    server.writeDocument("deep/d.txt", "dee\n");
    server.writeDocument("../secret.txt", kSecret);
    server.writeDocument("../www-secret.txt", kSecret);
}

// A GET for `target` with the given version and extra header lines.
inline std::string get(const std::string& target, const std::string& version = "HTTP/1.0",
                       const std::string& headers = "") {
    return "GET " + target + " " + version + "\r\n" + headers + "\r\n";
}

} // namespace velnor::e2e
