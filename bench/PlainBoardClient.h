// PlainBoardClient.h - the benchmarks' yardstick: a board client of its own,
// with nothing between the program and Winsock. One blocking TCP
// connection, requests built as TalvernLink.dll builds them (zero hardware
// address on loopback, sequence from 1), whole replies received. The caller
// has started Winsock.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "BoardProtocol.h"

class PlainBoardClient {
public:
    PlainBoardClient() = default;
    ~PlainBoardClient()
    {
        if (socket_ != INVALID_SOCKET)
            closesocket(socket_);
    }
    PlainBoardClient(const PlainBoardClient&) = delete;
    PlainBoardClient& operator=(const PlainBoardClient&) = delete;

    // Connects to the board at address:port; true when connected.
    bool Connect(const char* address, int port)
    {
        socket_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in to = {};
        to.sin_family = AF_INET;
        to.sin_port = htons(static_cast<u_short>(port));
        to.sin_addr.s_addr = inet_addr(address);
        return socket_ != INVALID_SOCKET &&
               connect(socket_, reinterpret_cast<sockaddr*>(&to), sizeof(to)) == 0;
    }

    // The board's handle of the named memory; -1 on failure.
    int32_t Open(const char* name)
    {
        const uint32_t n = static_cast<uint32_t>(strlen(name));
        std::vector<uint8_t> request(sizeof(board::RequestHeader) + n);
        Header(request.data(), board::CMD_SMEM_OPEN, n);
        memcpy(request.data() + sizeof(board::RequestHeader), name, n);
        uint8_t reply[sizeof(board::ReplyHeader) + sizeof(board::ValueReply)];
        if (!Exchange(request.data(), static_cast<int>(request.size()), reply, sizeof(reply)))
            return -1;
        board::ValueReply value;
        memcpy(&value, reply + sizeof(board::ReplyHeader), sizeof(value));
        return static_cast<int32_t>(value.value);
    }

    // Reads size bytes at offset of the memory handle into dest; true when
    // the board answered with success.
    bool Read(int32_t handle, int32_t offset, void* dest, uint32_t size)
    {
        uint8_t request[sizeof(board::RequestHeader) + sizeof(board::ReadPayload)];
        Header(request, board::CMD_SMEM_READ, sizeof(board::ReadPayload));
        const board::ReadPayload payload = {handle, offset, size};
        memcpy(request + sizeof(board::RequestHeader), &payload, sizeof(payload));
        reply_.resize(board::ReplyLength(board::CMD_SMEM_READ, size));
        if (!Exchange(request, sizeof(request), reply_.data(), static_cast<int>(reply_.size())))
            return false;
        memcpy(dest, reply_.data() + sizeof(board::ReplyHeader), size);
        return true;
    }

private:
    // Writes the request header for command with length payload bytes.
    void Header(uint8_t* request, uint16_t command, uint32_t length)
    {
        board::RequestHeader header = {};
        header.sequence = static_cast<uint16_t>(sequence_++);
        header.command = command;
        header.length = length;
        memcpy(request, &header, sizeof(header));
    }

    // Sends the whole request and receives the whole reply; true when both
    // went through and the reply's status is 0.
    bool Exchange(const uint8_t* request, int request_length, uint8_t* reply, int reply_length)
    {
        for (int sent = 0; sent < request_length;) {
            int n = send(socket_, reinterpret_cast<const char*>(request) + sent,
                         request_length - sent, 0);
            if (n <= 0)
                return false;
            sent += n;
        }
        for (int got = 0; got < reply_length;) {
            int n = recv(socket_, reinterpret_cast<char*>(reply) + got, reply_length - got, 0);
            if (n <= 0)
                return false;
            got += n;
        }
        board::ReplyHeader header;
        memcpy(&header, reply, sizeof(header));
        return header.status == 0;
    }

    SOCKET socket_ = INVALID_SOCKET;
    uint32_t sequence_ = 1;
    std::vector<uint8_t> reply_;
};
