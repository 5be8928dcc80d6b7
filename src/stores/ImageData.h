#pragma once

#include <QString>

#include <cstdint>
#include <memory>
#include <vector>

namespace b2d {

// How patient IDs are written into the objects of a store. Other values are kept as read and
// mean "no change".
enum TPatientIdType : uint8_t {
    pidMedBindestreck = 0,  // with hyphen: YYYYMMDD-NNNN
    pidUtanBindestreck = 1, // without hyphen
    pidBoth = 2,
};

// One configured image store. A new handler has every field zero or empty.
class ImageHandler {
public:
    virtual ~ImageHandler() = default;

    QString servernamn;
    int32_t uniktnr = 0;
    uint8_t PatientIdType = pidMedBindestreck;
};

// A DICOM server reached with C-STORE.
class DicomHandler : public ImageHandler {
public:
    QString localAe;  // calling AE title
    QString remoteAe; // called AE title
    QString peer;     // host name or address
    int32_t port = 0;
};

// A DICOM directory: one folder per patient ID under the root folder.
class DicomDirHandler : public ImageHandler {
public:
    QString dicomdirkatalog; // root folder, ending in a backslash
};

// The process's handler list: an ordered list that owns its handlers. Handlers are only ever
// added, so an index and a pointer stay valid for the life of the list.
class ImageMultiHandler : public ImageHandler {
public:
    int Count() const { return static_cast<int>(m_handlers.size()); }
    ImageHandler* Handler(int index) const { return m_handlers.at(size_t(index)).get(); }
    ImageHandler* Add(std::unique_ptr<ImageHandler> handler)
    {
        m_handlers.push_back(std::move(handler));
        return m_handlers.back().get();
    }

private:
    std::vector<std::unique_ptr<ImageHandler>> m_handlers;
};

} // namespace b2d
