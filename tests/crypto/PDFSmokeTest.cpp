#include "crypto/UnitPDF.h"
#include <gtest/gtest.h>
TEST(TPDFSmoke, Builds) { TPDF pdf; EXPECT_FALSE(pdf.LoadFromBytes("junk")); }
