#include <doctest/doctest.h>

#include "request_slot.h"

TEST_SUITE_BEGIN("request_slot");

using ql::FitRequestToSlot;

TEST_CASE("a request that fits is stored unchanged") {
    CHECK(FitRequestToSlot("", 10) == "");
    CHECK(FitRequestToSlot("0*open**", 8) == "0*open**");
    CHECK(FitRequestToSlot("\"1*wipe*C:\\a*\"", 14) == "\"1*wipe*C:\\a*\"");
    CHECK(FitRequestToSlot("no fields at all", 16) == "no fields at all");
}

TEST_CASE("a longer request is cut after its last whole field") {
    CHECK(FitRequestToSlot("0*wipe*C:\\a*C:\\bb*", 17) == "0*wipe*C:\\a*");
    CHECK(FitRequestToSlot("0*wipe*C:\\a*C:\\bb*", 12) == "0*wipe*C:\\a*");
    CHECK(FitRequestToSlot("0*wipe*C:\\a*C:\\bb*", 11) == "0*wipe*");
    // A request without items left still names its command; the receiver acts on nothing.
    CHECK(FitRequestToSlot("0*wipe*C:\\a*", 8) == "0*wipe*");
}

TEST_CASE("a quoted request keeps its closing quote when cut") {
    // "0*wipe*C:\a*C:\bb*" is 20 bytes with its quotes.
    CHECK(FitRequestToSlot("\"0*wipe*C:\\a*C:\\bb*\"", 19) == "\"0*wipe*C:\\a*\"");
    CHECK(FitRequestToSlot("\"0*wipe*C:\\a*C:\\bb*\"", 14) == "\"0*wipe*C:\\a*\"");
    CHECK(FitRequestToSlot("\"0*wipe*C:\\a*C:\\bb*\"", 13) == "\"0*wipe*\"");
}

TEST_CASE("nothing is stored when not even the first field fits") {
    CHECK_FALSE(FitRequestToSlot("12345*open**", 5).has_value());
    CHECK_FALSE(FitRequestToSlot("a path without any asterisk", 10).has_value());
    CHECK_FALSE(FitRequestToSlot("\"1*x*\"", 2).has_value());
    CHECK_FALSE(FitRequestToSlot("x", 0).has_value());
}

TEST_CASE("the slot's limits") {
    CHECK(ql::kRequestTextLimit == 65534);
    std::string request(65534, 'p');
    request[100] = '*';
    CHECK(FitRequestToSlot(request)->size() == 65534);
    request += '*';
    CHECK(FitRequestToSlot(request)->size() == 101);
}

TEST_SUITE_END();
