// Reports of association, identification, wake-up, firmware and gateway classes.
#include "hcapi/core/zwif_rpt_def.h"

const zwif_rpt_defs_t zwif_rpt_defs_mgmt{nullptr, 0};
