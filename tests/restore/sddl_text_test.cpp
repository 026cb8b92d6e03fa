#include "restore/security.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(WithSystemFullAccess, EntryGoesFirstInTheDaclAfterItsFlags)
{
    struct Case {
        std::string sddl, expected;
    };
    const Case cases[] = {
        {"D:PAI(A;;FA;;;BA)", "D:PAI(A;OICI;FA;;;S-1-5-18)(A;;FA;;;BA)"},
        {"D:(A;;FA;;;BA)(A;;FR;;;WD)", "D:(A;OICI;FA;;;S-1-5-18)(A;;FA;;;BA)(A;;FR;;;WD)"},
        {"D:P", "D:P(A;OICI;FA;;;S-1-5-18)"},
        {"D:", "D:(A;OICI;FA;;;S-1-5-18)"},
        {"D:ARAI(A;OICIID;FA;;;SY)", "D:ARAI(A;OICI;FA;;;S-1-5-18)(A;OICIID;FA;;;SY)"},
        // Owner and group in front: a group alias ending in D does not hide the DACL marker.
        {"O:BAG:DDD:P(A;;FA;;;BA)", "O:BAG:DDD:P(A;OICI;FA;;;S-1-5-18)(A;;FA;;;BA)"},
        // The entry joins the DACL, never the SACL behind it.
        {"D:PS:(AU;SA;FA;;;WD)", "D:P(A;OICI;FA;;;S-1-5-18)S:(AU;SA;FA;;;WD)"},
        {"D:(A;;FA;;;BA)S:(AU;SA;FA;;;WD)", "D:(A;OICI;FA;;;S-1-5-18)(A;;FA;;;BA)S:(AU;SA;FA;;;WD)"},
        // No DACL part: nothing to extend, the text stays as it is.
        {"", ""},
        {"O:BAG:BA", "O:BAG:BA"},
        {"S:(AU;SA;FA;;;WD)", "S:(AU;SA;FA;;;WD)"},
        // A null DACL lets everybody in; a DACL of the system entry alone would not.
        {"D:NO_ACCESS_CONTROL", "D:NO_ACCESS_CONTROL"},
        {"D:PNO_ACCESS_CONTROL", "D:PNO_ACCESS_CONTROL"},
        {"O:BAD:NO_ACCESS_CONTROLS:(AU;SA;FA;;;WD)", "O:BAD:NO_ACCESS_CONTROLS:(AU;SA;FA;;;WD)"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(withSystemFullAccess(c.sddl), c.expected) << '"' << c.sddl << '"';
}

} // namespace
