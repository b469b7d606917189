#include "platform/workbook/PackageParts.h"

#include "platform/workbook/SheetXml.h"

namespace kestrove::workbook::parts {

namespace {

const char* const XmlDeclaration =
    "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n";
const char* const MainNamespace = "http://schemas.openxmlformats.org/spreadsheetml/2006/main";
const char* const RelationshipTypes =
    "http://schemas.openxmlformats.org/officeDocument/2006/relationships";

std::string relationship(std::size_t id, const std::string& type, const std::string& target) {
    return "<Relationship Id=\"rId" + std::to_string(id) + "\" Type=\"" + type + "\" Target=\"" +
           target + "\"/>";
}

} // namespace

std::string worksheetPath(std::size_t number) {
    return "xl/worksheets/sheet" + std::to_string(number) + ".xml";
}

std::string contentTypes(std::size_t sheets) {
    std::string xml = XmlDeclaration;
    xml +=
        "<Types xmlns=\"http://schemas.openxmlformats.org/package/2006/content-types\">"
        "<Default Extension=\"rels\" "
        "ContentType=\"application/vnd.openxmlformats-package.relationships+xml\"/>"
        "<Default Extension=\"xml\" ContentType=\"application/xml\"/>"
        "<Override PartName=\"/docProps/app.xml\" "
        "ContentType=\"application/vnd.openxmlformats-officedocument.extended-properties+xml\"/>"
        "<Override PartName=\"/docProps/core.xml\" "
        "ContentType=\"application/vnd.openxmlformats-package.core-properties+xml\"/>"
        "<Override PartName=\"/xl/styles.xml\" "
        "ContentType=\"application/vnd.openxmlformats-officedocument.spreadsheetml.styles+xml\"/>"
        "<Override PartName=\"/xl/workbook.xml\" "
        "ContentType=\"application/"
        "vnd.openxmlformats-officedocument.spreadsheetml.sheet.main+xml\"/>";
    for (std::size_t n = 1; n <= sheets; ++n)
        xml += "<Override PartName=\"/" + worksheetPath(n) +
               "\" "
               "ContentType=\"application/"
               "vnd.openxmlformats-officedocument.spreadsheetml.worksheet+xml\"/>";
    xml += "</Types>";
    return xml;
}

std::string rootRelationships() {
    return XmlDeclaration +
           ("<Relationships "
            "xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">" +
            relationship(1, std::string(RelationshipTypes) + "/officeDocument", "xl/workbook.xml") +
            relationship(2,
                         "http://schemas.openxmlformats.org/package/2006/relationships/metadata/"
                         "core-properties",
                         "docProps/core.xml") +
            relationship(3, std::string(RelationshipTypes) + "/extended-properties",
                         "docProps/app.xml") +
            "</Relationships>");
}

std::string appProperties() {
    return XmlDeclaration +
           std::string(
               "<Properties "
               "xmlns=\"http://schemas.openxmlformats.org/officeDocument/2006/"
               "extended-properties\" "
               "xmlns:vt=\"http://schemas.openxmlformats.org/officeDocument/2006/docPropsVTypes\">"
               "<Application>Kestrove</Application></Properties>");
}

std::string coreProperties(std::time_t created) {
    std::tm utc{};
    gmtime_r(&created, &utc);
    char stamp[32];
    // Digits and fixed characters only, so the locale cannot change it.
    std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &utc);
    const std::string when = stamp;
    return XmlDeclaration +
           ("<cp:coreProperties "
            "xmlns:cp=\"http://schemas.openxmlformats.org/package/2006/metadata/core-properties\" "
            "xmlns:dc=\"http://purl.org/dc/elements/1.1/\" "
            "xmlns:dcterms=\"http://purl.org/dc/terms/\" "
            "xmlns:dcmitype=\"http://purl.org/dc/dcmitype/\" "
            "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\">"
            "<dcterms:created xsi:type=\"dcterms:W3CDTF\">" +
            when +
            "</dcterms:created>"
            "<dcterms:modified xsi:type=\"dcterms:W3CDTF\">" +
            when +
            "</dcterms:modified>"
            "</cp:coreProperties>");
}

std::string workbook(const std::vector<std::string>& sheetNames, std::size_t activeTab,
                     const std::vector<std::string>& filterRanges) {
    std::string xml = XmlDeclaration;
    xml += "<workbook xmlns=\"" + std::string(MainNamespace) + "\" xmlns:r=\"" + RelationshipTypes +
           "\"><bookViews><workbookView";
    if (activeTab > 0)
        xml += " activeTab=\"" + std::to_string(activeTab) + "\"";
    xml += "/></bookViews><sheets>";
    for (std::size_t i = 0; i < sheetNames.size(); ++i) {
        xml += "<sheet name=\"";
        xml::appendSheetName(xml, sheetNames[i]);
        xml += "\" sheetId=\"" + std::to_string(i + 1) + "\" r:id=\"rId" + std::to_string(i + 1) +
               "\"/>";
    }
    xml += "</sheets>";
    // A filter's range, named as spreadsheets expect it.
    bool anyFilter = false;
    for (std::size_t i = 0; i < filterRanges.size(); ++i) {
        if (filterRanges[i].empty())
            continue;
        if (!anyFilter)
            xml += "<definedNames>";
        anyFilter = true;
        std::string quoted = "'";
        for (const char c : sheetNames[i]) {
            quoted += c;
            if (c == '\'')
                quoted += '\'';
        }
        quoted += "'!" + filterRanges[i];
        xml += "<definedName name=\"_xlnm._FilterDatabase\" localSheetId=\"" + std::to_string(i) +
               "\" hidden=\"1\">";
        xml::appendSheetName(xml, quoted);
        xml += "</definedName>";
    }
    if (anyFilter)
        xml += "</definedNames>";
    xml += "</workbook>";
    return xml;
}

std::string workbookRelationships(std::size_t sheets) {
    std::string xml = XmlDeclaration;
    xml += "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">";
    for (std::size_t n = 1; n <= sheets; ++n)
        xml += relationship(n, std::string(RelationshipTypes) + "/worksheet",
                            "worksheets/sheet" + std::to_string(n) + ".xml");
    xml += relationship(sheets + 1, std::string(RelationshipTypes) + "/styles", "styles.xml");
    xml += "</Relationships>";
    return xml;
}

std::string styles(const std::vector<xml::NumberFormat>& numberFormats) {
    // Number formats of our own are numbered from 164; the style's index is the cell's s.
    // The date and time styles come between General and the header's bold General, then
    // both wrapping; those of decimal numbers and of dates with offsets after them.
    constexpr int header = static_cast<int>(xml::CellStyle::Header);
    static_assert(header + 3 == xml::CellStyleCount, "the wrapping styles end the fixed ones");
    std::string formats;
    int customFormats = 0;
    const auto style = [&](const std::string& code, int builtinId) {
        std::string id = std::to_string(builtinId);
        if (builtinId < 0) {
            id = std::to_string(164 + customFormats++);
            formats += "<numFmt numFmtId=\"" + id + "\" formatCode=\"";
            xml::appendAttribute(formats, code);
            formats += "\"/>";
        }
        return "<xf numFmtId=\"" + id +
               "\" fontId=\"0\" fillId=\"0\" borderId=\"0\" xfId=\"0\" "
               "applyNumberFormat=\"1\"/>";
    };
    std::string cellStyles =
        "<xf numFmtId=\"0\" fontId=\"0\" fillId=\"0\" borderId=\"0\" xfId=\"0\"/>";
    for (int fixed = 1; fixed < header; ++fixed)
        cellStyles += style(xml::numberFormatCode(static_cast<xml::CellStyle>(fixed)), -1);
    cellStyles +=
        "<xf numFmtId=\"0\" fontId=\"1\" fillId=\"0\" borderId=\"0\" xfId=\"0\" applyFont=\"1\"/>"
        "<xf numFmtId=\"0\" fontId=\"0\" fillId=\"0\" borderId=\"0\" xfId=\"0\" "
        "applyAlignment=\"1\"><alignment wrapText=\"1\"/></xf>"
        "<xf numFmtId=\"0\" fontId=\"1\" fillId=\"0\" borderId=\"0\" xfId=\"0\" applyFont=\"1\" "
        "applyAlignment=\"1\"><alignment wrapText=\"1\"/></xf>";
    for (const xml::NumberFormat& format : numberFormats)
        cellStyles += style(format.code, format.builtinId);
    formats = "<numFmts count=\"" + std::to_string(customFormats) + "\">" + formats + "</numFmts>";
    cellStyles = "<cellXfs count=\"" + std::to_string(xml::CellStyleCount + numberFormats.size()) +
                 "\">" + cellStyles + "</cellXfs>";
    return XmlDeclaration +
           ("<styleSheet xmlns=\"" + std::string(MainNamespace) + "\">" + formats +
            "<fonts count=\"2\"><font><sz val=\"11\"/><name val=\"Calibri\"/>"
            "<family val=\"2\"/></font><font><b/><sz val=\"11\"/><name val=\"Calibri\"/>"
            "<family val=\"2\"/></font></fonts>"
            "<fills count=\"2\"><fill><patternFill patternType=\"none\"/></fill>"
            "<fill><patternFill patternType=\"gray125\"/></fill></fills>"
            "<borders count=\"1\"><border><left/><right/><top/><bottom/><diagonal/>"
            "</border></borders>"
            "<cellStyleXfs count=\"1\"><xf numFmtId=\"0\" fontId=\"0\" fillId=\"0\" "
            "borderId=\"0\"/></cellStyleXfs>" +
            cellStyles +
            "<cellStyles count=\"1\"><cellStyle name=\"Normal\" xfId=\"0\" builtinId=\"0\"/>"
            "</cellStyles></styleSheet>");
}

} // namespace kestrove::workbook::parts
