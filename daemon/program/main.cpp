// kestrund: the daemon's core with the message layer above it.
#include "daemon/messages/zwp_avi_interfaces.h"
#include "daemon/zwp_app.h"

int main(int argc, char **argv) { return zwp_app_main(argc, argv, zwp_avi_messages_layer()); }
