// Reports of thermostats, locks, scenes and user interaction.
#include "hcapi/core/zwif_rpt_def.h"

const zwif_rpt_defs_t zwif_rpt_defs_ctl{nullptr, 0};
