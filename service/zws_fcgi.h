// The FastCGI kit behind a plain interface.
//
// The kit's fcgi_stdio.h renames FILE, printf and the other stdio calls for
// every file that includes it, so exactly one file (zws_fcgi.cpp) does; the
// rest of trellan reaches the kit only through these calls. Before the first
// accepted request, and when trellan runs as a plain CGI program, the streams
// are the process's own standard streams.
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
