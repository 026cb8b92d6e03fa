#include "worker/restore_totals.h"

RestoreTotals& restoreTotals()
{
    static RestoreTotals totals;
    return totals;
}
