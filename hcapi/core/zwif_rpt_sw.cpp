// Reports of switches, sensors, meters and notifications.
#include "hcapi/core/zwif_rpt_def.h"

const zwif_rpt_defs_t zwif_rpt_defs_sw{nullptr, 0};
