#include "daemon/zwp_app.h"

int main(int argc, char **argv) { return zwp_app_main(argc, argv); }
