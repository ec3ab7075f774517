// One packet of a picture as the dispatcher hands it to picture reception.
#pragma once

#include <string>

namespace rtu {

struct PicturePacket {
    int linkKind = 0;
    int number = 0;         // this packet, counted from 1
    int total = 0;          // packets of the picture
    int payloadLength = 0;
    int connectionId = -1;
    std::string station;
    std::string camera;     // CAMID
    std::string flag;       // PICFLAG
    std::string type;       // PICTYPE
    std::string payload;    // raw picture bytes, at most 4096
};

// What the dispatcher and the receive paths need of picture reception.
class PictureReception {
public:
    virtual ~PictureReception() = default;
    virtual void StorePicturePacket(const PicturePacket& packet) = 0;
    // Forgets the picture in progress of a station (fresh start, code 83).
    virtual void DiscardPicture(const std::string& station) = 0;
};

}  // namespace rtu
