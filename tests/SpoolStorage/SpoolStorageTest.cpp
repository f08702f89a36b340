#include "Logger/Logger.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

TEST(SpoolTest, Placeholder) {}
