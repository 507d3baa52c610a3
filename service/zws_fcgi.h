// The FastCGI kit behind a plain interface.
//
// The kit's fcgi_stdio.h renames FILE, printf and the other stdio calls for
// every file that includes it, so exactly one file (zws_fcgi.cpp) does; the
// rest of trellan reaches the kit only through these calls. Before the first
// accepted request, and when trellan runs as a plain CGI program, the streams
// are the process's own standard streams.
#pragma once

#include "service/zws_cgi_io.h"

#include <cstdarg>
#include <cstddef>

// Sets up the kit; 0 or 22.
int zws_fcgi_init();
// Waits for the next request: 0 or more when one was accepted, negative at
// the end (the web server closed the listening socket, or the CGI run ended).
int zws_fcgi_accept();
void zws_fcgi_set_exit_status(int status);
// Releases the kit's process resources.
void zws_fcgi_shutdown();

// The request's standard output (answer) and standard input (body).
const zws_cgi_io_t *zws_fcgi_io();

// The error stream that the web server collects.
int zws_fcgi_err_vprintf(const char *format, va_list args);
int zws_fcgi_err_write(const char *data, size_t length);
int zws_fcgi_err_flush();
