// A minimal application of the installed library: builds one request frame.
#include <Quorvel.h>

#include <cstdio>

int main() {
    Quorvel::TModbusBuffer Buffer(256);
    for (unsigned Byte : {0x01u, 0x03u, 0x00u, 0x00u, 0x00u, 0x01u})
        Buffer.PutByte(static_cast<std::uint8_t>(Byte));
    Buffer.PutWordLoHi(Buffer.CRC16());
    std::printf("%s %04X\n", Quorvel::QuorvelVersion, Buffer.CRC16());
    return Buffer.Size() == 8 ? 0 : 1;
}
