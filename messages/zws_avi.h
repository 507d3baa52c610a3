// trellan's web message descriptor registry.
//
// Every command the web interface sends maps to one Avro message of kestrund.
// The mapping is constant data: one descriptor per command and sub-command,
// kept in six lists by level (root, IFTTT, networks, nodes, endpoints,
// interfaces). The service layer looks a request up by its level, its CGI
// command and its sub-command; the descriptor names the Avro message, the
// handler that fills the request's `parameter` record from the form pairs,
// the handler that writes the reply's `parameter` record as XML, and the
// error-text key of the web interface shown when the exchange fails.
//
// The registry also owns the process's Avro protocol holder.
//
// This is the one header of the message layer that the service layer
// includes: the registry, its lookups and the descriptor kinds they hand out.
// How families fill the lists is zws_avi_list.h.
//
// Status: 0 success, 22 failure (12 where an argument handler runs out of
// memory).
#pragma once

#include "avi/zw_avro.h"
#include "messages/zws_avi_types.h"
#include "util/zwu_array.h"

struct zws_avi_s;
typedef struct zws_avi_s *zws_avi_t;

// Builds the registry (loads the Avro protocol, creates the lists, registers
// every family) or hands back the one already built, with a warning.
int zws_avi_init(zws_avi_t *avi_p);
// Releases the lists and the Avro holder; a later zws_avi_init builds anew.
void zws_avi_exit(zws_avi_t avi);

zw_avro_t zws_avi_get_avro(zws_avi_t avi);
zwu_array_list_t zws_avi_get_message_list_root(zws_avi_t avi);
zwu_array_list_t zws_avi_get_message_list_ifttt(zws_avi_t avi);
zwu_array_list_t zws_avi_get_message_list_networks(zws_avi_t avi);
zwu_array_list_t zws_avi_get_message_list_nodes(zws_avi_t avi);
zwu_array_list_t zws_avi_get_message_list_endpoints(zws_avi_t avi);
zwu_array_list_t zws_avi_get_message_list_interfaces(zws_avi_t avi);

// Lookups by level. Out values are written as the walk goes (see below) and
// point into the constant descriptors.
//
// Root: the first descriptor whose `cgi_uri` equals `cgi_uri` exactly; 22
// with "Failed to match with supported avro messages for '%s'" otherwise.
int zws_avi_get_avi_message_from_cgi_uri(zwu_array_list_t list, const char *cgi_uri, const char **message_name,
                                         const char **error_text, const zws_avi_message_t **message_p);
// Network, node, endpoint: every URI match sets *error_text (and, from node
// level down, *error_text_index to 0); a URI and sub-command match also sets
// the message, its name and the index (the sub-command) and returns 0. No
// full match: 22 without a log line, *error_text left at the last URI match.
int zws_avi_get_avi_message_networks_from_cgi_uri(zwu_array_list_t list, const char *cgi_uri, int cgi_sub_command,
                                                  const char **message_name, const char **error_text,
                                                  const zws_avi_message_networks_t **message_p);
int zws_avi_get_avi_message_nodes_from_cgi_uri(zwu_array_list_t list, const char *cgi_uri, int cgi_sub_command,
                                               const char **message_name, const char **error_text,
                                               int *error_text_index, const zws_avi_message_nodes_t **message_p);
int zws_avi_get_avi_message_endpoints_from_cgi_uri(zwu_array_list_t list, const char *cgi_uri, int cgi_sub_command,
                                                   const char **message_name, const char **error_text,
                                                   int *error_text_index,
                                                   const zws_avi_message_endpoints_t **message_p);
// Interface: a URI match is a full match when the sub-command equals the
// descriptor's (or the descriptor's + 1 with passive support), which sets the
// message; or, failing that, when the descriptor supports setup and the
// sub-command is 1, which sets the message and its name to null (answered
// without kestrund). The first descriptor that fits decides.
int zws_avi_get_avi_message_interfaces_from_cgi_uri(zwu_array_list_t list, const char *cgi_uri, int cgi_sub_command,
                                                    const char **message_name, const char **error_text,
                                                    int *error_text_index,
                                                    const zws_avi_message_interfaces_t **message_p);
