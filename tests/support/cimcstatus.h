#ifndef ORVIND_TESTS_CIMCSTATUS_H
#define ORVIND_TESTS_CIMCSTATUS_H

#include "cimc/cimc.h"

#include <gtest/gtest.h>

// Checks a failed call's code and that it carries a message, then releases it.
inline void expectRc(const CIMCStatus& st, int rc) {
    EXPECT_EQ(st.rc, rc);
    ASSERT_NE(st.msg, nullptr);
    st.msg->ft->release(st.msg);
}

// With CIMC_chars a setter's value argument is the text itself, which the
// API takes as changeable.
inline CIMCValue* charsValue(const char* text) {
    return reinterpret_cast<CIMCValue*>(const_cast<char*>(text));
}

#endif
