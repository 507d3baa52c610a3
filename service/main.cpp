// trellan: the FastCGI responder of the web interface.
#include "service/zws_networks.h"

int main() { return zws_trellan_main(); }
