#include "tools/bench/linkcore_bench/ReferenceEchoServer.h"

#include <cstdlib>
#include <cstring>
#include <future>

namespace {

void DeleteClient(uv_handle_t* handle)
{
    delete reinterpret_cast<uv_tcp_t*>(handle);
}

struct WriteRequest {
    uv_write_t request;
    uv_buf_t buffer;
};

}  // namespace

ReferenceEchoServer::~ReferenceEchoServer()
{
    Stop();
}

bool ReferenceEchoServer::Start(std::uint16_t port)
{
    uv_loop_init(&m_loop);
    m_loop.data = this;
    uv_tcp_init(&m_loop, &m_server);
    m_server.data = this;
    sockaddr_in address{};
    uv_ip4_addr("0.0.0.0", port, &address);
    if (uv_tcp_bind(&m_server, reinterpret_cast<const sockaddr*>(&address), 0) != 0 ||
        uv_listen(reinterpret_cast<uv_stream_t*>(&m_server), SOMAXCONN, &OnConnection) != 0) {
        uv_close(reinterpret_cast<uv_handle_t*>(&m_server), nullptr);
        uv_run(&m_loop, UV_RUN_DEFAULT);
        uv_loop_close(&m_loop);
        return false;
    }
    uv_async_init(&m_loop, &m_stop, &OnStop);
    m_stop.data = this;
    m_thread = std::thread([this] { uv_run(&m_loop, UV_RUN_DEFAULT); });
    m_running = true;
    return true;
}

void ReferenceEchoServer::Stop()
{
    if (!m_running) {
        return;
    }
    uv_async_send(&m_stop);
    m_thread.join();
    uv_loop_close(&m_loop);
    m_running = false;
}

void ReferenceEchoServer::OnStop(uv_async_t* async)
{
    uv_walk(
        async->loop,
        [](uv_handle_t* handle, void*) {
            if (!uv_is_closing(handle)) {
                const bool client = handle->type == UV_TCP && handle->data == nullptr;
                uv_close(handle, client ? &DeleteClient : nullptr);
            }
        },
        nullptr);
}

void ReferenceEchoServer::OnConnection(uv_stream_t* server, int status)
{
    if (status < 0) {
        return;
    }
    auto* client = new uv_tcp_t;
    uv_tcp_init(server->loop, client);
    client->data = nullptr;
    if (uv_accept(server, reinterpret_cast<uv_stream_t*>(client)) == 0) {
        uv_read_start(reinterpret_cast<uv_stream_t*>(client), &OnAlloc, &OnRead);
    } else {
        uv_close(reinterpret_cast<uv_handle_t*>(client), &DeleteClient);
    }
}

void ReferenceEchoServer::OnAlloc(uv_handle_t*, size_t suggested, uv_buf_t* buffer)
{
    buffer->base = static_cast<char*>(std::malloc(suggested));
    buffer->len = suggested;
}

void ReferenceEchoServer::OnRead(uv_stream_t* stream, ssize_t count, const uv_buf_t* buffer)
{
    if (count > 0) {
        auto* self = static_cast<ReferenceEchoServer*>(stream->loop->data);
        self->m_reads.fetch_add(1, std::memory_order_relaxed);
        auto* write = new WriteRequest;
        write->buffer = uv_buf_init(static_cast<char*>(std::malloc(static_cast<size_t>(count))),
                                    static_cast<unsigned>(count));
        std::memcpy(write->buffer.base, buffer->base, static_cast<size_t>(count));
        uv_write(&write->request, stream, &write->buffer, 1, &OnWrite);
    } else if (count < 0) {
        uv_close(reinterpret_cast<uv_handle_t*>(stream), &DeleteClient);
    }
    std::free(buffer->base);
}

void ReferenceEchoServer::OnWrite(uv_write_t* request, int)
{
    auto* write = reinterpret_cast<WriteRequest*>(request);
    std::free(write->buffer.base);
    delete write;
}
