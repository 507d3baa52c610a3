// The poll form of the get calls. The report poll facility that runs the
// requests is not built yet: until it is, no request is taken and the
// caller hears that no poll facility runs.
#include "hcapi/core/zwsend.h"
#include "hcapi/include/zwif.h"

int zwif_get_report_poll(const zwif_desc_t *intf, const uint8_t *, uint8_t param_len, uint8_t, zwpoll_req_t *poll_req)
{
    if (intf == nullptr || poll_req == nullptr)
        return ZW_ERR_VALUE;
    if (param_len > ZWIF_GET_PARAM_MAX)
        return ZW_ERR_MEMORY;
    return ZW_ERR_UNSUPPORTED;
}
