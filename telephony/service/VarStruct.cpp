#include "telephony/service/VarStruct.h"

#include <cstddef>

namespace tapi::detail {

DWORD FixedLineDevCaps(DWORD version)
{
    if (version < TAPI_VERSION_1_4)
        return 236;
    if (version < TAPI_VERSION_2_0)
        return 240;
    if (version < TAPI_VERSION_2_2)
        return 252;
    return sizeof(LINEDEVCAPS);
}

DWORD FixedAddressCaps(DWORD version)
{
    if (version < TAPI_VERSION_1_4)
        return 176;
    if (version < TAPI_VERSION_2_0)
        return 180;
    return sizeof(LINEADDRESSCAPS);
}

DWORD FixedCallInfo(DWORD version)
{
    return version < TAPI_VERSION_2_0 ? 296 : sizeof(LINECALLINFO);
}

DWORD FixedCallStatus(DWORD version)
{
    return version < TAPI_VERSION_2_0 ? 36 : sizeof(LINECALLSTATUS);
}

DWORD FixedCallParams(DWORD version)
{
    return version < TAPI_VERSION_2_0 ? 112 : sizeof(LINECALLPARAMS);
}

DWORD FixedPhoneCaps(DWORD version)
{
    if (version < TAPI_VERSION_2_0)
        return 144;
    if (version < TAPI_VERSION_2_2)
        return 180;
    return sizeof(PHONECAPS);
}

DWORD FixedPhoneStatus(DWORD version)
{
    return version < TAPI_VERSION_2_0 ? 100 : sizeof(PHONESTATUS);
}

static bool IsWideFormat(DWORD stringFormat)
{
    return stringFormat == STRINGFORMAT_UNICODE || stringFormat == STRINGFORMAT_DBCS;
}

QByteArray EncodeString(const QString& text, DWORD stringFormat)
{
    if (text.isEmpty())
        return {};
    QByteArray out;
    if (IsWideFormat(stringFormat)) {
        for (QChar c : text) {
            const ushort u = c.unicode();
            out.append(static_cast<char>(u & 0xFF));
            out.append(static_cast<char>(u >> 8));
        }
        out.append('\0');
        out.append('\0');
    } else {
        out = text.toLocal8Bit();
        out.append('\0');
    }
    return out;
}

QByteArray EncodeStringList(const QStringList& list, DWORD stringFormat)
{
    if (list.isEmpty())
        return {};
    QByteArray out;
    for (const QString& s : list)
        out += EncodeString(s.isEmpty() ? QStringLiteral(" ") : s, stringFormat);
    out += IsWideFormat(stringFormat) ? QByteArray(2, '\0') : QByteArray(1, '\0');
    return out;
}

QString DecodeWide(const char16_t* text, std::size_t maxChars)
{
    if (text == nullptr)
        return {};
    std::size_t n = 0;
    while (n < maxChars && text[n] != 0)
        ++n;
    return QString::fromUtf16(text, static_cast<qsizetype>(n));
}

QString DecodeNarrow(const char* text, std::size_t maxChars)
{
    if (text == nullptr)
        return {};
    std::size_t n = 0;
    while (n < maxChars && text[n] != 0)
        ++n;
    return QString::fromLocal8Bit(text, static_cast<qsizetype>(n));
}

namespace {

// One dw...Size/dw...Offset pair of the caller's block, checked against its
// dwTotalSize and the fixed part.
class ParamsReader
{
public:
    ParamsReader(const void* base, DWORD total, DWORD fixed, Charset charset)
        : m_base(static_cast<const unsigned char*>(base)), m_total(total), m_fixed(fixed), m_charset(charset)
    {}

    bool ok() const { return m_ok; }

    QByteArray Bytes(DWORD size, DWORD offset, std::size_t fieldEnd)
    {
        // A field beyond the caller's version does not exist for it.
        if (fieldEnd > m_fixed || size == 0)
            return {};
        if (offset < m_fixed || offset > m_total || size > m_total - offset) {
            m_ok = false;
            return {};
        }
        return QByteArray(reinterpret_cast<const char*>(m_base + offset), static_cast<qsizetype>(size));
    }

    QString Text(DWORD size, DWORD offset, std::size_t fieldEnd)
    {
        const QByteArray bytes = Bytes(size, offset, fieldEnd);
        if (bytes.isEmpty())
            return {};
        if (m_charset == Charset::Wide) {
            const qsizetype chars = bytes.size() / 2;
            QString s;
            for (qsizetype i = 0; i < chars; ++i) {
                const auto lo = static_cast<unsigned char>(bytes[2 * i]);
                const auto hi = static_cast<unsigned char>(bytes[2 * i + 1]);
                const char16_t c = static_cast<char16_t>(lo | (hi << 8));
                if (c == 0)
                    break;
                s.append(QChar(c));
            }
            return s;
        }
        const qsizetype nul = bytes.indexOf('\0');
        return QString::fromLocal8Bit(nul < 0 ? bytes : bytes.left(nul));
    }

private:
    const unsigned char* m_base;
    DWORD m_total;
    DWORD m_fixed;
    Charset m_charset;
    bool m_ok = true;
};

#define VH_PARAMS_FIELD(reader, p, name)                                                                     \
    (reader).Text((p)->dw##name##Size, (p)->dw##name##Offset,                                                \
                  offsetof(LINECALLPARAMS, dw##name##Offset) + sizeof(DWORD))
#define VH_PARAMS_BYTES(reader, p, name)                                                                     \
    (reader).Bytes((p)->dw##name##Size, (p)->dw##name##Offset,                                               \
                   offsetof(LINECALLPARAMS, dw##name##Offset) + sizeof(DWORD))

bool IsSingleBearerMode(DWORD mode)
{
    switch (mode) {
    case LINEBEARERMODE_VOICE:
    case LINEBEARERMODE_SPEECH:
    case LINEBEARERMODE_MULTIUSE:
    case LINEBEARERMODE_DATA:
    case LINEBEARERMODE_ALTSPEECHDATA:
    case LINEBEARERMODE_NONCALLSIGNALING:
    case LINEBEARERMODE_PASSTHROUGH:
    case LINEBEARERMODE_RESTRICTEDDATA:
        return true;
    default:
        return false;
    }
}

} // namespace

LONG ReadCallParams(const LINECALLPARAMS* caller, DWORD version, Charset charset, CallParamsData& out)
{
    out = CallParamsData{};
    if (caller == nullptr)
        return 0;
    const DWORD fixed = FixedCallParams(version);
    const DWORD total = TotalSize(caller);
    if (total < fixed)
        return LINEERR_STRUCTURETOOSMALL;
    // The fixed part is read into an aligned copy; the variable part is read
    // byte by byte from the caller's block.
    LINECALLPARAMS copy{};
    std::memcpy(&copy, caller, std::min<std::size_t>(fixed, sizeof copy));
    const LINECALLPARAMS* params = &copy;
    // Bounds of the block itself: nothing larger than this is ever sensible,
    // and it keeps a garbage dwTotalSize from sending us through the heap.
    if (total > 0x10000)
        return LINEERR_INVALCALLPARAMS;
    if (!IsSingleBearerMode(params->dwBearerMode))
        return LINEERR_INVALBEARERMODE;
    if (params->dwMinRate > params->dwMaxRate && params->dwMaxRate != 0)
        return LINEERR_INVALRATE;
    if (params->dwAddressMode != LINEADDRESSMODE_ADDRESSID &&
        params->dwAddressMode != LINEADDRESSMODE_DIALABLEADDR)
        return LINEERR_INVALADDRESSMODE;

    ParamsReader r(caller, total, fixed, charset);
    out.present = true;
    out.bearerMode = params->dwBearerMode;
    out.minRate = params->dwMinRate;
    out.maxRate = params->dwMaxRate;
    out.mediaMode = params->dwMediaMode;
    out.callParamFlags = params->dwCallParamFlags;
    out.addressMode = params->dwAddressMode;
    out.addressId = params->dwAddressID;
    out.dialParams = params->DialParams;
    out.origAddress = VH_PARAMS_FIELD(r, params, OrigAddress);
    out.displayableAddress = VH_PARAMS_FIELD(r, params, DisplayableAddress);
    out.calledParty = VH_PARAMS_FIELD(r, params, CalledParty);
    out.comment = VH_PARAMS_FIELD(r, params, Comment);
    out.userUserInfo = VH_PARAMS_BYTES(r, params, UserUserInfo);
    VH_PARAMS_BYTES(r, params, HighLevelComp);
    VH_PARAMS_BYTES(r, params, LowLevelComp);
    out.devSpecific = VH_PARAMS_BYTES(r, params, DevSpecific);
    out.targetAddress = VH_PARAMS_FIELD(r, params, TargetAddress);
    VH_PARAMS_BYTES(r, params, SendingFlowspec);
    VH_PARAMS_BYTES(r, params, ReceivingFlowspec);
    out.deviceClass = VH_PARAMS_FIELD(r, params, DeviceClass);
    out.deviceConfig = VH_PARAMS_BYTES(r, params, DeviceConfig);
    out.callData = VH_PARAMS_BYTES(r, params, CallData);
    VH_PARAMS_BYTES(r, params, CallingPartyID);
    if (fixed >= sizeof(LINECALLPARAMS))
        out.noAnswerTimeout = params->dwNoAnswerTimeout;
    if (!r.ok()) {
        out = CallParamsData{};
        return LINEERR_INVALCALLPARAMS;
    }
    return 0;
}

} // namespace tapi::detail
