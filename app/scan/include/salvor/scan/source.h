// The source of a job that names an image file or a device: it is opened as
// the only disk, and its volumes are found the way the device list finds them.
#pragma once

#include <blockgate/blockgate.h>

#include <string>
#include <vector>

namespace salvor {

class ImageSource {
public:
    ImageSource() = default;
    // Releases the disk and its volumes.
    ~ImageSource();
    ImageSource(const ImageSource&) = delete;
    ImageSource& operator=(const ImageSource&) = delete;

    enum class OpenStatus {
        kOpen,
        kCannotOpen, // the file cannot be opened (error())
        kNotListed,  // it was opened but gave no disk
        kCannotRead, // its first sectors cannot be read (error())
    };
    OpenStatus Open(const std::string& path);
    // The errno value of the last failure.
    int error() const { return m_error; }
    // The volumes of the disk, in disk order.
    const std::vector<BgVolume*>& volumes() const { return m_volumes; }

private:
    std::vector<BgVolume*> m_volumes;
    int m_error = 0;
};

} // namespace salvor
