#include "orvane/hal/RegisterTables.h"

namespace orvane {

const RegisterInfo imx636RegisterTable[kImx636RegisterTableRows] = {
#include "Imx636RegisterTable.inc"
};

namespace fusion {
const RegisterInfo imx636RegisterTable[kImx636RegisterTableRows] = {
#include "Imx636RegisterTable.inc"
};
}  // namespace fusion

const RegisterInfo imx415RegisterTable[kImx415RegisterTableRows] = {
    {TYPE_REGISTER, "aps_ctrl", 0x5000, 0, 0},
    {TYPE_FIELD, "aps_en", 0, 1, 0},
    {TYPE_REGISTER, "aps_exposure", 0x5001, 0, 0},
    {TYPE_FIELD, "aps_auto_exposure_en", 0, 1, 1},
    {TYPE_REGISTER, "aps_shutter", 0x5002, 0, 0},
    {TYPE_FIELD, "aps_shutter_sweep_time", 0, 20, 102},
    {TYPE_REGISTER, "aps_white_balance", 0x5003, 0, 0},
    {TYPE_FIELD, "aps_auto_white_balance_en", 0, 1, 1},
    {TYPE_REGISTER, "aps_blk_level", 0x5004, 0, 0},
    {TYPE_REGISTER, "aps_blk_level_offset", 0, 10, 50},
};

}  // namespace orvane
