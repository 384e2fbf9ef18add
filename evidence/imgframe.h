// The picture of one stored frame for the frame view pages, whatever its
// kind: grey frames as they are, RGB frames as B, G, R, MJPEG decoded, and
// H.264 frames decoded on demand from their key frame (B, G, R).
//
// The image is always a copy: the frame store may overwrite the frame as
// soon as this returns. Runs on HTTP threads; never throws.
#pragma once

namespace cv {
class Mat;
}

// False for an unknown camera, a frame no longer stored (or overwritten
// while it was read), a picture that cannot be decoded, and any other type.
bool imgframe(int camid, unsigned frame, cv::Mat& image);
