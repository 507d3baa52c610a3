#include "ifttt/zws_ifttt.h"
#include "service/zws_cgi.h"

#include "../service/service_fixture.h"

#include <gtest/gtest.h>

namespace {

TEST(Ifttt, OutputsWriteNothingAndAnswerUnavailable)
{
    zws_test::string_io io;
    zws_service_t service;
    zws_service_common_t common;
    common.cgi_client = ZWS_CGI_CLIENT_IFTTT;
    service.service_common = &common;
    EXPECT_EQ(zws_cgi_ifttt_send_cgi_output(&service), 503);
    EXPECT_EQ(zws_cgi_ifttt_send_cgi_output_error(500, &service), 503);
    // The service layer routes both of its outputs for this client here.
    EXPECT_EQ(zws_cgi_send_cgi_output(&service), 503);
    EXPECT_EQ(zws_cgi_send_cgi_output_error(&service), 0);
    EXPECT_EQ(io.out, "");
    service.service_common = nullptr;
}

} // namespace
