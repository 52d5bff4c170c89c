/*
 * VELNOR interfaces for extension libraries and log plug-ins.
 *
 * The server hands its own objects to extensions and plug-ins by address; the structs
 * below are their memory forms, to be read (and, where said, written) in place. Usable
 * from C89/C99/C11 and C++.
 *
 * Memory blocks: an extension that fills a byte buffer (or a CAPI answer) takes the
 * block from velnor_alloc or velnor_realloc below, keeps a NUL byte at data[length], and
 * leaves it to the server, which measures it and releases it. A library never frees a
 * block it did not allocate itself.
 *
 * Which heap: on Linux and other Unix systems the returned blocks are the C library's
 * malloc blocks (velnor_alloc is calloc, and a block from malloc, calloc or realloc is as
 * good); the server frees them with free. On Windows every DLL may carry a C runtime and
 * a heap of its own, so the returned blocks come from the process heap
 * (HeapAlloc(GetProcessHeap(), ...)) and the server frees them with HeapFree and sizes
 * them with HeapSize; a block from the library's malloc must never be returned there.
 *
 * Sizes: on a 32-bit target a byte buffer is 16 bytes and a text table 12; on a 64-bit
 * target both are 24 bytes. Checked at compile time below.
 */
#ifndef VELNOR_VELNOR_H
#define VELNOR_VELNOR_H

#include <stddef.h>
#include <stdint.h>
#if !defined(_WIN32)
#include <stdlib.h>
#endif

#ifdef __cplusplus
extern "C" {
#endif

/*
 * A byte buffer: a block of `length` bytes in use, always followed by a NUL byte at
 * data[length], so text content can be read as a C string. `data` is null while the
 * buffer holds nothing. The block is whole granules of `blockSize` (512) bytes, zero
 * beyond the used bytes.
 *
 * `vtable` belongs to the server's own code: never call through it or change it.
 *
 * Offsets (32-bit / 64-bit): vtable 0/0, data 4/8, length 8/16, blockSize 12/20.
 */
typedef struct VelnorByteBuffer {
    const void* vtable;
    char* data;
    uint32_t length;
    uint32_t blockSize;
} VelnorByteBuffer;

/*
 * A text table: an ordered list of name/value pairs of 8-bit strings, held in the
 * entries block buffer->data (null when the table is empty).
 *
 * Entries block: each entry is the name's bytes, a NUL, the value's bytes, a NUL,
 * entry after entry in table order with nothing in between; after the last entry comes
 * one more NUL, where the next name would begin. Names are never empty; values may be.
 * buffer->length counts the entries' bytes, not the final NUL.
 *
 * Walking it:
 *   const char *e = t->buffer->data;
 *   if (e != NULL && *e != '\0') {
 *       for (;;) {
 *           const char *value = e + strlen(e) + 1;   -- the entry's value
 *           ... use e (the name) and value ...
 *           e = value + strlen(value) + 1;           -- the next entry
 *           if (*e == '\0') break;                   -- the end of the table
 *       }
 *   }
 * Names compared "without case" fold 'A'..'Z' to 'a'..'z' only; the bytes 0x80-0xFF
 * compare unchanged. The first matching entry in table order wins.
 *
 * `cursor` points at the name of the current entry (or is null); a plug-in may set it
 * while it walks the table during its call. The table belongs to the server: change no
 * byte of the block and keep no pointer into it after the call returns.
 *
 * Offsets (32-bit / 64-bit): vtable 0/0, buffer 4/8, cursor 8/16.
 */
typedef struct VelnorTextTable {
    const void* vtable;
    VelnorByteBuffer* buffer;
    char* cursor;
} VelnorTextTable;

/*
 * Library entries: extension libraries export fnZlx or fnCAPI, the access-log plug-in
 * exports fnVelnorLog. Their declarations go here, after the memory forms they use.
 *
 * VELNOR_EXPORT keeps an entry exported from a library built with -fvisibility=hidden:
 * a definition after this header takes the attribute from the declaration. A Windows DLL
 * exports what is marked for export instead, and then nothing else.
 */
#if defined(_WIN32)
#define VELNOR_EXPORT __declspec(dllexport)
#elif defined(__GNUC__)
#define VELNOR_EXPORT __attribute__((visibility("default")))
#else
#define VELNOR_EXPORT
#endif

/* One UTF-16 code unit of the paths the server passes (C11's char16_t). */
#ifdef __cplusplus
typedef char16_t VelnorChar16;
#else
typedef uint_least16_t VelnorChar16;
#endif

/*
 * The access-log plug-in's entry.
 *
 * The server loads one plug-in, dunmark.so from the directory of the velnor executable,
 * when it starts, and keeps it until it stops. Without the file, or without this entry
 * in it, the server runs and logs nothing. It calls the entry once for every request it
 * answered, after the answer has gone out:
 *
 *   logPath      the log file's path (the "LogFile" setting): NUL-terminated UTF-16,
 *                fewer than 260 units, with "\" or "/" separating names.
 *   sizeLimit    the size in bytes past which the log is to be moved aside ("LogSize").
 *   status       the answer's final HTTP status; an answer made by a CGI program or an
 *                extension library is given as 200.
 *   headerTable  the request's header table: "request_line" (the request line as
 *                received, at most 511 bytes), the client's header lines under the names
 *                the client sent, and the server's own entries "remote_addr" (the
 *                client's dotted IPv4 address, always present), "remote_host" (the
 *                client's host name, when the "DNSLookup" setting found one),
 *                "authentication_user" (the user of accepted Basic credentials) and
 *                "send_bytes" (the decimal body length of a file answer or an extension's
 *                answer). No client header line is stored under any of these names.
 *                Look names up ignoring case; the first match in table order counts.
 *
 * Ownership: everything passed belongs to the server and is lent for the call only. Read
 * the table in place and change no byte of its block; its cursor is the one field a
 * plug-in may set. Keep no pointer into any of it after returning.
 *
 * Calls are serialized: the server holds one lock around every call, so the entry is
 * never entered twice at once and needs no lock of its own. Every worker that finishes
 * a request waits for that lock, so return quickly: append and leave, no network, no
 * waiting on other programs. The call runs on one of the server's worker threads.
 *
 * A plug-in may keep its own resources from one call to the next, such as the log file
 * open (dunmark.so does). Between calls the log still belongs to the user: other programs
 * may read, move or remove it, and each record goes to the file the path names when it
 * is written, never to a removed one.
 *
 * Result: 1 when the whole record was written, 0 when none of it was (a record cut
 * short is removed again). The server reports failures on its standard error: once when
 * records start failing, once when they are written again.
 */
VELNOR_EXPORT int fnVelnorLog(const VelnorChar16* logPath, uint32_t sizeLimit, int32_t status,
                              const VelnorTextTable* headerTable);

/*
 * Extension libraries: ZLX extensions, handler modules and CAPI extensions.
 *
 * Which library answers a request:
 *   - A file under the extension root (the "CgiRoot" setting) whose name ends in ".zlx",
 *     in any letter case, is a ZLX extension: the server calls its fnZlx.
 *   - A file there ending in ".dll" is a CAPI extension: the server calls its fnCAPI.
 *     (".exe" runs a CGI program; any other file there is refused with 403.)
 *   - A handler module is a ZLX library named NAME.mod in the directory of the velnor
 *     executable (or named by an AddType.txt value that begins with a separator). It
 *     takes over every file whose name ends in ".NAME" (upper.mod: ".upper"): a request
 *     for such a file anywhere in the document tree calls the module's fnZlx instead of
 *     sending the file. The module reads the file itself if it wants it.
 * Each is an ELF shared object loaded with RTLD_NOW | RTLD_LOCAL when the request
 * arrives and closed before the answer is finished, so an extension keeps no state from
 * one request to the next unless another request holds the library open at the same
 * time. Build with -fPIC -shared; VELNOR_EXPORT on the definition keeps the entry
 * visible under -fvisibility=hidden.
 *
 * Threads: the server calls entries from its worker threads with no lock: the same entry
 * may run in several threads at once, each with its own objects. Keep no writable
 * static state, or guard it yourself. An entry blocks its worker (one connection) for as
 * long as it runs.
 *
 * Loading: the library's constructors (and its static initialisers) run on every load,
 * that is on every request unless another request holds the library open. The system's
 * loader runs them under its one lock, so while a constructor runs no other extension,
 * module or library anywhere in the server can be loaded or closed: a constructor that
 * takes 4 s holds every extension request for 4 s. Keep constructors short or leave
 * them out.
 *
 * Faults: libraries run inside the server's own process, unguarded. A crash in an
 * entry or a constructor (an invalid pointer, abort, a call to exit) ends the whole
 * server and every connection it holds, not just the one request. This applies to the
 * access-log plug-in as well.
 *
 * Replacing a library while the server runs: write the new file beside the old one and
 * rename it into place (mv new.zlx hello.zlx). Never overwrite the loaded file in place
 * (cp, or an editor that rewrites it): a request that holds it has it mapped into the
 * server's memory, its code would change under it, and the server crashes. The
 * plug-in dunmark.so is loaded for the server's whole life: replace it the same way and
 * restart the server to take the new one.
 *
 * Variables: both kinds receive the CGI/1.1 variable set, in this order:
 *   PATH_INFO        the URL path after the extension's own name (often empty) and
 *   PATH_TRANSLATED  the document root followed by it, "/" separators; both for
 *                    extensions under the extension root only, never for modules;
 *   CONTENT_LENGTH   bytes of the body received ("0" without one);
 *   CONTENT_TYPE     when the request has one;
 *   QUERY_STRING     the text after "?" (empty without one);
 *   REMOTE_ADDR, REMOTE_HOST (the client's name if looked up, else its address),
 *   REMOTE_PORT, REQUEST_METHOD ("GET", "HEAD" or "POST"), SERVER_NAME (the Host
 *   header as sent, when there is one), SERVER_PORT, SERVER_PROTOCOL ("HTTP/1.1"),
 *   SERVER_SOFTWARE, DOCUMENT_ROOT ("/" separators);
 *   HTTP_NAME        one per request header, the name upper-cased with "-" as "_"
 *                    ("User-Agent" gives HTTP_USER_AGENT; never HTTP_PROXY), and
 *                    likewise HTTP_QUERY_STRING, HTTP_REMOTE_HOST and
 *                    HTTP_AUTHENTICATION_USER when the server noted those;
 *   SCRIPT_NAME      the file's URL path ("/scripts/hello.zlx", "/docs/notes.upper");
 *   GATEWAY_INTERFACE "ZLX/1.0".
 * DOCUMENT_ROOT followed by SCRIPT_NAME names the requested file.
 * Names are exact and case-sensitive; values are text and never null.
 */

/*
 * The ZLX entry: the server lends its own objects for the call.
 *
 *   variables  the variable table (see VelnorTextTable above), cursor at its first
 *              entry. Read it; do not change its block. Setting `cursor` is allowed.
 *   body       the request body as received: `length` bytes at `data` (data is null
 *              when there is none, as for GET and HEAD). Read only.
 *   response   an empty byte buffer: data null, length 0, blockSize 512. Leave your
 *              answer in it:
 *                response->data   = a block from velnor_alloc or velnor_realloc;
 *                response->length = the bytes of the answer, not counting the NUL;
 *                and a NUL byte at data[length] (allocate length + 1 bytes).
 *              The server frees the block once it is sent; never free it
 *              yourself, and never leave a pointer to static or stack memory there.
 *
 * The answer: header lines, an empty line, then the body, each line ended by "\r\n":
 *     "Content-Type: text/html\r\n\r\n<p>hello</p>"
 * The header block must end with "\r\n\r\n" before any NUL byte; the body may hold any
 * bytes, NUL included. The server sends its own status line and lines first:
 *     HTTP/1.1 200 OK                    (the request's protocol)
 *     Server: VELNOR/2.34                (the "ServerSoftware" setting)
 *     Connection: Close
 *     Content-Length: N                  (the body bytes after your empty line)
 * and then your answer unchanged. An answer that begins with "Location: " (any letter
 * case, one blank after the colon) gets "302 Object Moved" and no Content-Length line:
 *     "Location: http://example.org/\r\n\r\n"
 * The status cannot be chosen otherwise, and the connection is closed after the answer.
 * For a HEAD request the server sends your header block and leaves out the body.
 *
 * Leaving data null or length 0 answers the request with 500, so does an answer without
 * the empty line, and so does a length larger than the block the allocator handed out
 * (no byte of such an answer is sent). The result of the function, if any, is ignored.
 */
/*
 * Returned blocks, from the heap the server releases them to (see "Which heap" above):
 *   velnor_alloc(size)            a zero-filled block of `size` bytes, or NULL;
 *   velnor_realloc(block, size)   the block grown or shrunk with its bytes kept (a null
 *                                 block is allocated afresh), or NULL with the old block
 *                                 left as it was;
 *   velnor_free(block)            gives back a block the library decided not to return.
 * A size of 0 is taken as 1, so a success is never NULL.
 */
#if defined(__cplusplus) || (defined(__STDC_VERSION__) && __STDC_VERSION__ >= 199901L)
#define VELNOR_INLINE static inline
#elif defined(__GNUC__) || defined(_MSC_VER)
#define VELNOR_INLINE static __inline
#else
#define VELNOR_INLINE static
#endif

#if defined(_WIN32)
/* The process heap's entries exactly as the system's headers declare them, so this header
   need not bring in all of <windows.h>, and either may come first. */
#if defined(_WIN64)
typedef unsigned __int64 VelnorHeapBytes;
#else
typedef unsigned long VelnorHeapBytes;
#endif
__declspec(dllimport) void* __stdcall GetProcessHeap(void);
__declspec(dllimport) void* __stdcall HeapAlloc(void* heap, unsigned long flags,
                                                VelnorHeapBytes bytes);
__declspec(dllimport) void* __stdcall HeapReAlloc(void* heap, unsigned long flags, void* block,
                                                  VelnorHeapBytes bytes);
__declspec(dllimport) int __stdcall HeapFree(void* heap, unsigned long flags, void* block);

VELNOR_INLINE void* velnor_alloc(size_t size) {
    /* 0x8: HEAP_ZERO_MEMORY */
    return HeapAlloc(GetProcessHeap(), 0x8, size != 0 ? size : 1);
}
VELNOR_INLINE void* velnor_realloc(void* block, size_t size) {
    if (block == NULL)
        return velnor_alloc(size);
    return HeapReAlloc(GetProcessHeap(), 0, block, size != 0 ? size : 1);
}
VELNOR_INLINE void velnor_free(void* block) {
    if (block != NULL)
        HeapFree(GetProcessHeap(), 0, block);
}
#else
VELNOR_INLINE void* velnor_alloc(size_t size) {
    return calloc(1, size != 0 ? size : 1);
}
VELNOR_INLINE void* velnor_realloc(void* block, size_t size) {
    return realloc(block, size != 0 ? size : 1);
}
VELNOR_INLINE void velnor_free(void* block) {
    free(block);
}
#endif

VELNOR_EXPORT void fnZlx(VelnorTextTable* variables, VelnorByteBuffer* body,
                         VelnorByteBuffer* response);

/*
 * The CAPI entry: plain pointers and lengths, and a complete HTTP answer in return.
 *
 *   variables, variablesLength  the variable table's entries block (name NUL value NUL
 *               ..., then a final NUL that variablesLength does not count); see
 *               VelnorTextTable above for how to walk it.
 *   head, headLength  the request head exactly as received: request line, header
 *               lines, and the empty line that ends them ("\r\n\r\n" included).
 *   body, bodyLength  the request body as received (body null when there is none).
 *   response   the address of a pointer the server has set to null. Store there a block
 *              from velnor_alloc or velnor_realloc holding the whole answer: status line,
 *              header lines, empty line, body:
 *                "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\nhello"
 *              The server frees it after sending; never free it yourself.
 *
 * All pointers are lent for the call only; change none of their bytes.
 *
 * Result: the number of bytes of *response to send, exactly as they are (no line is
 * added and HEAD is not treated specially, so send what the method calls for). 0 sends
 * the block up to its first NUL byte, so a text answer may return 0 if it ends with a
 * NUL. A negative result sends nothing. Leaving *response null also sends nothing; in
 * both cases the client sees the connection close without an answer. A count larger
 * than the block the allocator handed out, or 0 with no NUL inside the block, is
 * answered with 500 and none of the block is sent.
 */
VELNOR_EXPORT int fnCAPI(const char* variables, uint32_t variablesLength, const char* head,
                         uint32_t headLength, const char* body, uint32_t bodyLength,
                         char** response);

#ifdef __cplusplus
} /* extern "C" */
#endif

/* Compile-time checks of the memory forms, for 32-bit and 64-bit pointers. */
#if defined(__cplusplus)
#define VELNOR_STATIC_ASSERT(condition, tag) static_assert(condition, #tag)
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#define VELNOR_STATIC_ASSERT(condition, tag) _Static_assert(condition, #tag)
#else
#define VELNOR_STATIC_ASSERT(condition, tag)                                                       \
    typedef char velnor_static_assert_##tag[(condition) ? 1 : -1]
#endif

#define VELNOR_POINTER_IS(n) (sizeof(void*) == (n))

VELNOR_STATIC_ASSERT(VELNOR_POINTER_IS(4) || VELNOR_POINTER_IS(8), pointer_width_4_or_8);

VELNOR_STATIC_ASSERT(sizeof(VelnorByteBuffer) == (VELNOR_POINTER_IS(4) ? 16 : 24),
                     byte_buffer_size);
VELNOR_STATIC_ASSERT(offsetof(VelnorByteBuffer, vtable) == 0, byte_buffer_vtable);
VELNOR_STATIC_ASSERT(offsetof(VelnorByteBuffer, data) == (VELNOR_POINTER_IS(4) ? 4 : 8),
                     byte_buffer_data);
VELNOR_STATIC_ASSERT(offsetof(VelnorByteBuffer, length) == (VELNOR_POINTER_IS(4) ? 8 : 16),
                     byte_buffer_length);
VELNOR_STATIC_ASSERT(offsetof(VelnorByteBuffer, blockSize) == (VELNOR_POINTER_IS(4) ? 12 : 20),
                     byte_buffer_block_size);

VELNOR_STATIC_ASSERT(sizeof(VelnorTextTable) == (VELNOR_POINTER_IS(4) ? 12 : 24), text_table_size);
VELNOR_STATIC_ASSERT(offsetof(VelnorTextTable, vtable) == 0, text_table_vtable);
VELNOR_STATIC_ASSERT(offsetof(VelnorTextTable, buffer) == (VELNOR_POINTER_IS(4) ? 4 : 8),
                     text_table_buffer);
VELNOR_STATIC_ASSERT(offsetof(VelnorTextTable, cursor) == (VELNOR_POINTER_IS(4) ? 8 : 16),
                     text_table_cursor);

#endif /* VELNOR_VELNOR_H */
