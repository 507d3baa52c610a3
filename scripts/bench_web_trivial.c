/* The trivial FastCGI responder that scripts/bench_web.sh measures trellan
 * against: the smallest useful answer of the same shape, with no work. */
#include <fcgi_stdio.h>

int main(void)
{
    while (FCGI_Accept() >= 0)
        printf("Content-Type: text/plain\n\n<?xml version=\"1.0\"?><zwave><version platform=\"linux\" "
               "app_major=\"1\" app_minor=\"0\" ctl_major=\"1\" ctl_minor=\"0\" /></zwave>");
    return 0;
}
