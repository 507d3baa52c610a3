// The FastCGI kit behind a plain interface.
//
// Exactly one file (zws_fcgi.cpp) includes the kit; the rest of trellan
// reaches it only through these calls. Outside a request, and when trellan
// runs as a plain CGI program, the streams are the process's own standard
// streams.
#pragma once

#include <cstdarg>
#include <cstddef>

// Sets up the kit; 0 or 22. A SIGTERM from then on ends the accept loop:
// at once while trellan waits for a request, after the answer while it
// serves one.
int zws_fcgi_init();
// Waits for the next request: 0 or more when one was accepted, negative at
// the end (the web server closed the listening socket, the CGI run ended, or
// SIGTERM came).
int zws_fcgi_accept();
void zws_fcgi_set_exit_status(int status);
// Releases the kit's process resources.
void zws_fcgi_shutdown();
// Whether SIGTERM asked the process to end.
bool zws_fcgi_stop_requested();

// The request's standard output (the answer): all `length` bytes, 0 or 22.
// Inside a request it is held and goes out with the request's end (a large
// answer earlier).
int zws_fcgi_out_write(const char *data, size_t length);
// Hands what the answer holds so far to the web server.
int zws_fcgi_out_flush();
// The request's standard input (the body), as fread/ferror/feof.
size_t zws_fcgi_in_read(char *buffer, size_t size);
int zws_fcgi_in_error();
int zws_fcgi_in_eof();

// The error stream that the web server collects.
int zws_fcgi_err_write(const char *data, size_t length);
int zws_fcgi_err_flush();
// Whole lines for the error stream: records of whole lines (up to the size
// a web server logs as one entry). Inside a request they go behind the
// answer so far and out with the request's end, in the same write.
int zws_fcgi_err_write_lines(const char *text, size_t length);

// nginx logs each error-stream record as one entry and cuts an entry at 2048
// bytes with its own text around it: records carry whole lines up to this.
constexpr size_t ZWS_FCGI_RECORD_TEXT_MAX = 1600;
// Where the record of whole lines that starts at `start` of `text` (of
// `length` bytes) ends: behind the last line end within the record's size,
// at `length` when the rest fits, or cut at the size when one line is longer.
size_t zws_fcgi_lines_record_end(const char *text, size_t start, size_t length);
