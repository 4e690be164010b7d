#include "tools/devsim/Device_Model.hpp"

#include <gtest/gtest.h>

#include <functional>

#include "Server_View.hpp"
#include "rt_serial/datalink/CRC16_Modbus.hpp"

namespace {

using namespace Devsim_Test;
using namespace Quorin_Tools::Devsim;

class Device_Model_Test : public ::testing::Test {
protected:
    /// Checks and handles a frame as the simulator does; the answer, empty when none.
    Bytes exchange(const Bytes& frame) {
        if (model.check(frame.data(), frame.size()) != Receive_Result::FRAME_OK) return {};
        outcome = model.handle(frame.data(), frame.size(), behaviour, answer);
        return Bytes(answer.bytes.begin(), answer.bytes.begin() + static_cast<std::ptrdiff_t>(answer.length));
    }

    Counters counters;
    Device_Model model{false, counters};
    Behaviour behaviour;
    Device_Model::Answer answer;
    Device_Model::Outcome outcome;
};

TEST_F(Device_Model_Test, echo_before_any_rpdo_and_of_a_full_rpdo) {
    EXPECT_EQ(Server_View(exchange(server_frame(pdo, tpdo_request_data, full_quota))).pdo_data, padded({}));

    const Bytes largest(1014, 0xC3);
    exchange(server_frame(pdo, largest, 0));
    const Bytes tpdo = exchange(server_frame(pdo, tpdo_request_data, full_quota));
    EXPECT_EQ(tpdo.size(), 1024u);
    EXPECT_EQ(Server_View(tpdo).pdo_data, largest);
}

TEST_F(Device_Model_Test, counter_pattern_counts_answers_from_one) {
    behaviour.tpdo_mode = TPDO_Mode::COUNTER;
    behaviour.tpdo_size = 6;
    const Bytes request = server_frame(pdo, tpdo_request_data, full_quota);
    EXPECT_EQ(Server_View(exchange(request)).pdo_data, padded({1, 0, 0, 0, 4, 5}));
    EXPECT_EQ(Server_View(exchange(request)).pdo_data, padded({2, 0, 0, 0, 4, 5}));

    behaviour.tpdo_size = 1014;
    const Bytes data = Server_View(exchange(request)).pdo_data;
    ASSERT_EQ(data.size(), 1014u);
    EXPECT_EQ(data[0], 3);
    EXPECT_EQ(data[300], static_cast<std::uint8_t>(300));
}

TEST_F(Device_Model_Test, answers_fit_the_reply_quota) {
    EXPECT_EQ(Device_Model::answer_room(0), 0u);
    EXPECT_EQ(Device_Model::answer_room(3), 0u);    // 12 bytes: not even the shortest frame
    EXPECT_EQ(Device_Model::answer_room(4), 16u);
    EXPECT_EQ(Device_Model::answer_room(7), 16u);   // 28 bytes
    EXPECT_EQ(Device_Model::answer_room(8), 32u);
    EXPECT_EQ(Device_Model::answer_room(256), 1024u);
    EXPECT_EQ(Device_Model::answer_room(1023), 1024u);

    exchange(server_frame(pdo, Bytes(100, 0x77), 0));
    const Bytes cut = exchange(server_frame(pdo, tpdo_request_data, 8));
    ASSERT_EQ(cut.size(), 32u);
    EXPECT_EQ(Server_View(cut).pdo_data, Bytes(22, 0x77));
    EXPECT_EQ(counters.tpdo_truncated, 1u);

    EXPECT_TRUE(exchange(server_frame(pdo, tpdo_request_data, 3)).empty());
    EXPECT_EQ(counters.no_room, 1u);
    EXPECT_EQ(counters.tpdo_answers, 1u);
}

TEST_F(Device_Model_Test, sdo_requests_are_echoed_with_their_epids_in_order) {
    Bytes requests;
    for (const std::uint8_t epid : {0, 7, 255}) {
        const Bytes message = sdo_message(epid, epid);
        requests.insert(requests.end(), message.begin(), message.end());
    }
    const Bytes short_message{0x21, 0xA, 0xB, 0xC};  // 4 bytes, no EPID: echoed all the same
    requests.insert(requests.end(), short_message.begin(), short_message.end());

    const Server_View view(exchange(server_frame(sdo, requests, full_quota)));
    EXPECT_EQ(view.result, Receive_Result::SDO);
    ASSERT_EQ(view.messages.size(), 4u);
    EXPECT_EQ(view.messages[0], sdo_message(0, 0));
    EXPECT_EQ(view.messages[1], sdo_message(7, 7));
    EXPECT_EQ(view.messages[2], sdo_message(255, 255));
    EXPECT_EQ(view.messages[3], short_message);
    EXPECT_EQ(outcome.messages, 4);
    EXPECT_EQ(outcome.answers, 4);
    EXPECT_EQ(counters.sdo_answers, 4u);
}

TEST_F(Device_Model_Test, sdo_answers_that_do_not_fit_wait_for_the_next_exchange) {
    Bytes requests;
    for (std::uint8_t tag = 0; tag < 5; ++tag) {
        const Bytes message = sdo_message(tag, tag);
        requests.insert(requests.end(), message.begin(), message.end());
    }
    // 32 bytes of room: 22 data bytes, so two 10-byte answers.
    Server_View first(exchange(server_frame(sdo, requests, 8)));
    ASSERT_EQ(first.messages.size(), 2u);
    EXPECT_EQ(first.messages[1], sdo_message(1, 1));
    EXPECT_EQ(model.held_answers(), 3u);
    EXPECT_EQ(counters.sdo_held_back, 3u);

    // A quota too small for any frame leaves them waiting; a later frame brings them, in order,
    // before the answers to its own requests.
    EXPECT_TRUE(exchange(server_frame(sdo, sdo_message(9, 9), 2)).empty());
    EXPECT_EQ(counters.no_room, 1u);
    Server_View second(exchange(server_frame(sdo, {}, full_quota)));
    ASSERT_EQ(second.messages.size(), 4u);
    EXPECT_EQ(second.messages[0], sdo_message(2, 2));
    EXPECT_EQ(second.messages[3], sdo_message(9, 9));
    EXPECT_EQ(model.held_answers(), 0u);

    // With nothing to answer, the device still answers: an empty SDO frame.
    const Bytes empty = exchange(server_frame(sdo, {}, full_quota));
    EXPECT_EQ(empty.size(), 16u);
    EXPECT_EQ(Server_View(empty).result, Receive_Result::SDO);
}

TEST_F(Device_Model_Test, each_failed_check_is_counted_and_nothing_is_answered) {
    using C = Counters;
    const auto fix_crc = [](Bytes& f) {
        const std::uint16_t crc = Quorin_Core::RT_Serial::Datalink::crc16_modbus(f.data(), f.size() - 2);
        f[f.size() - 2] = static_cast<std::uint8_t>(crc >> 8), f[f.size() - 1] = static_cast<std::uint8_t>(crc);
    };
    const std::vector<std::tuple<const char*, std::function<void(Bytes&)>, std::uint64_t C::*>> cases{
        {"crc", [](Bytes& f) { f[8] ^= 1; }, &C::crc_errors},
        {"source 0xA0", [&](Bytes& f) { f[2] = 0xA0, fix_crc(f); }, &C::source_id_errors},
        {"destination 0x00", [&](Bytes& f) { f[3] = 0x00, fix_crc(f); }, &C::destination_id_errors},
        {"length word says 32", [&](Bytes& f) { f[4] = 0x04, fix_crc(f); }, &C::length_errors},
        {"magic", [&](Bytes& f) { f[1] = 0x56, fix_crc(f); }, &C::header_errors},
    };
    for (const auto& [what, spoil, counter] : cases) {
        Bytes request = server_frame(pdo, tpdo_request_data, full_quota);
        spoil(request);
        counters = Counters{};
        EXPECT_TRUE(exchange(request).empty()) << what;
        Counters expected;
        ++(expected.*counter);
        EXPECT_EQ(counters, expected) << what;
    }
}

TEST(Device_Model, native_usb_ignores_crcs_and_sends_none) {
    Counters counters;
    Device_Model model(true, counters);
    Bytes request = server_frame(pdo, tpdo_request_data, full_quota, false);
    request[request.size() - 1] = 0x5A;  // whatever the CRC bytes hold
    ASSERT_EQ(model.check(request.data(), request.size()), Receive_Result::FRAME_OK);
    Device_Model::Answer answer;
    model.handle(request.data(), request.size(), Behaviour{}, answer);
    ASSERT_EQ(answer.length, 16u);
    EXPECT_EQ(answer.bytes[14], 0);
    EXPECT_EQ(answer.bytes[15], 0);
    EXPECT_EQ(Server_View(Bytes(answer.bytes.begin(), answer.bytes.begin() + 16), false).result, Receive_Result::PDO);
}

}  // namespace
