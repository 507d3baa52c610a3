// Stand-in for the DTLS transport while it is not part of the library: a
// transport with a key fails to start, plain UDP is unaffected.
#include "hcapi/zip/zip_transport.h"

int dtls_init(tpt_layer_ctx *) { return -1; }
void dtls_exit(tpt_layer_ctx *ctx) { ctx->dtls_ctx = nullptr; }
void dtls_rd_thrd(void *data) { static_cast<tpt_layer_ctx *>(data)->rd_running.store(0); }
void dtls_wr_thrd(void *data) { static_cast<tpt_layer_ctx *>(data)->wr_running.store(0); }
