#include "http/StatusLines.h"

namespace velnor {
namespace {

struct StatusLine {
    int code;
    const char* text;
};

// Searched from the top; the row with code 0 ends the search. Gateways take their own
// "200 OK" and "302 Object Moved" lines from here as well, so the wording is shared.
constexpr StatusLine kStatusLines[] = {
    {200, "200 OK"},
    {301, "301 Moved Permanently"},
    {302, "302 Object Moved"},
    {304, "304 Not Modified"},
    {400, "400 Bad Request"},
    {401, "401 Unauthorized"},
    {403, "403 Access Forbidden"},
    {404, "404 Object Not Found"},
    {411, "411 Length Required"},
    {413, "413 Request Entity Too Large"},
    {500, "500 Internal Server Error"},
    {501, "501 Not Implemented"},
    {999, "999 CGI"},
    {0, nullptr},
};

} // namespace

const char* statusText(int code) noexcept {
    for (const StatusLine* row = kStatusLines; row->code != 0; ++row) {
        if (row->code == code)
            return row->text;
    }
    return nullptr;
}

} // namespace velnor
