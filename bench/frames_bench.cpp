// Frame packing, the receive procedure and the CRC in bytes per second; the SDO segment queue in
// enqueue/dequeue pairs per second with one producer and one consumer thread.
#include <benchmark/benchmark.h>

#include <array>
#include <cstdint>
#include <thread>
#include <vector>

#include "rt_serial/datalink/CRC16_Modbus.hpp"
#include "rt_serial/datalink/Frame_Builder.hpp"
#include "rt_serial/datalink/Raw_Frame.hpp"
#include "rt_serial/datalink/receive_frame.hpp"
#include "rt_serial/protocol/SPB_Queue.hpp"

namespace {

using namespace Quorin_Core::RT_Serial::Datalink;
using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t frame_buffer_bytes = 2048;
constexpr std::uint8_t pdo = 0x11;
constexpr std::uint8_t sdo = 0x21;
constexpr std::uint16_t tpdo_reply_quota = 256;

/// Keeps the delivered data alive for the optimiser without doing anything with it.
struct Discarding_Sink : Frame_Sink {
    void pdo_payload(const std::uint8_t* data, std::size_t size) override { benchmark::DoNotOptimize(data + size); }
    void sdo_message(const std::uint8_t* data, std::size_t size) override { benchmark::DoNotOptimize(data + size); }
};

/// A device-to-server frame with `size` data bytes of `protocol`.
Bytes device_frame(std::uint8_t protocol, const Bytes& data, bool with_crc = true) {
    Frame_Builder builder(Raw_Frame::device_id, Raw_Frame::host_id, with_crc);
    Bytes buffer(frame_buffer_bytes);
    std::size_t length = 0;
    builder.build(buffer.data(), protocol, data.data(), data.size(), 0, length);
    buffer.resize(length);
    return buffer;
}

/// Packing a server frame whose data is copied in (RPDO from the PDO slot): 2, 64 and 1004 bytes.
void frame_pack(benchmark::State& state) {
    const Bytes data(static_cast<std::size_t>(state.range(0)), 0x5A);
    std::array<std::uint8_t, frame_buffer_bytes> buffer{};
    Frame_Builder builder(Raw_Frame::host_id, Raw_Frame::device_id, true);
    std::size_t length = 0;
    for (auto _ : state) {
        builder.build(buffer.data(), pdo, data.data(), data.size(), tpdo_reply_quota, length);
        benchmark::DoNotOptimize(buffer.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * length));
}
BENCHMARK(frame_pack)->Arg(2)->Arg(64)->Arg(1004);

/// Packing with the data already written in place (an NRT frame after dequeuing into it).
void frame_pack_in_place(benchmark::State& state) {
    std::array<std::uint8_t, frame_buffer_bytes> buffer{};
    Frame_Builder builder(Raw_Frame::host_id, Raw_Frame::device_id, true);
    const auto size = static_cast<std::size_t>(state.range(0));
    std::size_t length = 0;
    for (auto _ : state) {
        builder.build(buffer.data(), sdo, buffer.data() + builder.data_offset(), size, tpdo_reply_quota, length);
        benchmark::DoNotOptimize(buffer.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * length));
}
BENCHMARK(frame_pack_in_place)->Arg(1014);

/// The whole receive procedure on a good frame: a PDO answer (range 1 = CRC checked or not).
void receive_pdo(benchmark::State& state) {
    const bool with_crc = state.range(1) != 0;
    const Bytes frame = device_frame(pdo, Bytes(static_cast<std::size_t>(state.range(0)), 0x5A), with_crc);
    const ID_Filter source = ID_Filter::allow_only(Raw_Frame::device_id);
    const ID_Filter destination = ID_Filter::allow_only(Raw_Frame::host_id);
    Receive_Counters counters;
    Discarding_Sink sink;
    for (auto _ : state) {
        benchmark::DoNotOptimize(receive_frame(frame.data(), frame.size(), source, destination, with_crc, counters, sink));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * frame.size()));
}
BENCHMARK(receive_pdo)->Args({14, 1})->Args({1014, 1})->Args({1014, 0});

/// The receive procedure on a 1024-byte SDO frame packed with `range(0)`-byte messages.
void receive_sdo(benchmark::State& state) {
    const auto message_bytes = static_cast<std::size_t>(state.range(0));
    Bytes message(message_bytes, 0);
    message[0] = message_bytes == 4 ? 0x21 : 0x3D;  // 4 or 12 bytes
    Bytes data;
    while (data.size() + message.size() <= 1014) data.insert(data.end(), message.begin(), message.end());
    const Bytes frame = device_frame(sdo, data);
    const ID_Filter source = ID_Filter::allow_only(Raw_Frame::device_id);
    const ID_Filter destination = ID_Filter::allow_only(Raw_Frame::host_id);
    Receive_Counters counters;
    Discarding_Sink sink;
    for (auto _ : state) {
        benchmark::DoNotOptimize(receive_frame(frame.data(), frame.size(), source, destination, true, counters, sink));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * frame.size()));
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * (data.size() / message_bytes)));
}
BENCHMARK(receive_sdo)->Arg(4)->Arg(12);

/// CRC-16/MODBUS alone.
void crc16(benchmark::State& state) {
    const Bytes data(static_cast<std::size_t>(state.range(0)), 0xA5);
    for (auto _ : state) benchmark::DoNotOptimize(crc16_modbus(data.data(), data.size()));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * data.size()));
}
BENCHMARK(crc16)->Arg(14)->Arg(1022);

/// One producer thread enqueues a batch of messages while this thread dequeues them all. The
/// batch equals the capacity, so nothing is dropped and every pair completes.
void queue_producer_consumer(benchmark::State& state) {
    constexpr std::uint64_t batch = SPB_Queue::device_capacity;
    const Bytes message(static_cast<std::size_t>(state.range(0)), 0x21);
    SPB_Queue queue;
    std::array<std::uint8_t, SPB_Queue::max_message_bytes> out{};
    for (auto _ : state) {
        std::thread producer([&] {
            for (std::uint64_t i = 0; i < batch; ++i) queue.enqueue(message.data(), message.size());
        });
        for (std::uint64_t taken = 0; taken < batch;) taken += queue.dequeue(out.size(), out.data()) != 0;
        producer.join();
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * batch));
    state.counters["dropped"] = static_cast<double>(queue.dropped());
}
BENCHMARK(queue_producer_consumer)->Arg(8)->Arg(262)->Arg(1014)->UseRealTime()->Unit(benchmark::kMillisecond);

/// Enqueue then dequeue on one thread: the cost of a pair without contention.
void queue_pair_single_thread(benchmark::State& state) {
    const Bytes message(static_cast<std::size_t>(state.range(0)), 0x21);
    SPB_Queue queue;
    std::array<std::uint8_t, SPB_Queue::max_message_bytes> out{};
    for (auto _ : state) {
        queue.enqueue(message.data(), message.size());
        benchmark::DoNotOptimize(queue.dequeue(out.size(), out.data()));
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}
BENCHMARK(queue_pair_single_thread)->Arg(8)->Arg(1014);

}  // namespace
