#include "Identification.h"

namespace web {

namespace {

std::string_view Trimmed(std::string_view text) {
    constexpr std::string_view kSpace = " \t\r\n";
    const std::size_t first = text.find_first_not_of(kSpace);
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(kSpace) - first + 1);
}

// The length of the well-formed UTF-8 character at the start of `text` that XML may hold (not
// a surrogate, U+FFFE or U+FFFF, nor above U+10FFFF); 0 when there is none.
std::size_t XmlCharacterLength(std::string_view text) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(0);
    const std::size_t length = lead < 0x80   ? 1
                               : lead < 0xC2 ? 0
                               : lead < 0xE0 ? 2
                               : lead < 0xF0 ? 3
                               : lead < 0xF5 ? 4
                                             : 0;
    if (length == 0 || length > text.size()) {
        return 0;
    }
    unsigned long code = length == 1 ? lead : lead & (0x7F >> length);
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xC0) != 0x80) {
            return 0;
        }
        code = code << 6 | (byte(i) & 0x3F);
    }
    const bool overlong = (length == 3 && code < 0x800) || (length == 4 && code < 0x10000);
    const bool excluded =
        (code >= 0xD800 && code <= 0xDFFF) || code == 0xFFFE || code == 0xFFFF || code > 0x10FFFF;
    return overlong || excluded ? 0 : length;
}

// `text` as XML character data or attribute value: markup characters escaped; control
// characters and bytes that are not UTF-8 dropped, as XML may not hold them and a module's
// answer may carry anything.
std::string XmlText(std::string_view text) {
    std::string out;
    while (!text.empty()) {
        const std::size_t length = XmlCharacterLength(text);
        const char c = text.front();
        if (length == 0 || static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
            text.remove_prefix(length == 0 ? 1 : length);
            continue;
        }
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&apos;";
                break;
            default:
                out.append(text.substr(0, length));
        }
        text.remove_prefix(length);
    }
    return out;
}

std::string HostText(const net::Address& address) {
    const std::string text = net::AddressText(address);
    return address.IsV4() ? text : "[" + text + "]";
}

// "http://10.0.0.5" or "http://[fd00::1]:8080": the server's root, port 80 left implied.
std::string Root(const Reach& reach) {
    return "http://" + HostText(reach.address) +
           (reach.httpPort == 80 ? "" : ":" + std::to_string(reach.httpPort));
}

void Element(std::string& xml, std::string_view indent, std::string_view name,
             std::string_view text) {
    xml.append(indent).append("<").append(name).append(">");
    xml.append(XmlText(text)).append("</").append(name).append(">\n");
}

std::string Joined(std::string_view a, std::string_view b) {
    return a.empty() || b.empty() ? std::string(a).append(b)
                                  : std::string(a) + " " + std::string(b);
}

}  // namespace

IdentityFields SplitIdentity(std::string_view idn) {
    IdentityFields fields;
    std::string* const parts[] = {&fields.manufacturer, &fields.model, &fields.serial,
                                  &fields.firmware};
    std::string_view rest = idn;
    for (std::size_t i = 0; i < std::size(parts); ++i) {
        // The last field keeps any further commas: a firmware text may have them.
        const std::size_t comma =
            i + 1 < std::size(parts) ? rest.find(',') : std::string_view::npos;
        *parts[i] = Trimmed(rest.substr(0, comma));
        if (comma == std::string_view::npos) {
            break;
        }
        rest.remove_prefix(comma + 1);
    }
    return fields;
}

std::vector<std::string> VisaResources(const Reach& reach) {
    const std::string prefix = "TCPIP::" + HostText(reach.address) + "::";
    std::vector<std::string> resources;
    if (reach.vxi11) {
        resources.push_back(prefix + "inst0::INSTR");
    }
    resources.push_back(prefix + std::to_string(reach.socketPort) + "::SOCKET");
    return resources;
}

std::string IdentificationXml(const IdentityFields& identity, const Reach& reach,
                              std::string_view hostName) {
    // Only what is known is said: the module's own fields, how it is reached, and nothing of the
    // network (mask, gateway, hardware address) that the server does not manage.
    const std::string root = Root(reach);
    const std::string address = net::AddressText(reach.address);
    std::string xml =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<LXIDevice xmlns=\"http://www.lxistandard.org/InstrumentIdentification/1.0\" "
        "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\">\n";
    Element(xml, "  ", "Manufacturer", identity.manufacturer);
    Element(xml, "  ", "Model", identity.model);
    Element(xml, "  ", "SerialNumber", identity.serial);
    Element(xml, "  ", "FirmwareRevision", identity.firmware);
    Element(xml, "  ", "ManufacturerDescription",
            Joined(identity.manufacturer, identity.model) +
                ": a tunable laser on a serial line, served over the LAN");
    Element(xml, "  ", "HomepageURL", root + "/");
    Element(xml, "  ", "DriverURL", root + "/");
    Element(xml, "  ", "UserDescription", Joined(identity.model, identity.serial));
    Element(xml, "  ", "IdentificationURL", root + "/lxi/identification");
    xml += std::string("  <Interface xsi:type=\"NetworkInformation\" InterfaceType=\"LXI\" ") +
           "IPType=\"" + (reach.address.IsV4() ? "IPv4" : "IPv6") +
           "\" InterfaceName=\"network\">\n";
    for (const std::string& resource : VisaResources(reach)) {
        Element(xml, "    ", "InstrumentAddressString", resource);
    }
    // Without a name the address stands in, as the LXI documents of unnamed hosts do.
    Element(xml, "    ", "Hostname", hostName.empty() ? std::string_view(address) : hostName);
    Element(xml, "    ", "IPAddress", address);
    xml += "  </Interface>\n</LXIDevice>\n";
    return xml;
}

}  // namespace web
