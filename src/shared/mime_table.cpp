#include "shared/mime_table.h"

#include <array>
#include <mutex>
#include <utility>

#include "platform/os.h"
#include "shared/utf.h"

namespace tessel::shared {
namespace {

constexpr std::string_view kOctetStream = "application/octet-stream";

// Grouped by kind. An extension that belongs to two kinds has a line in each
// group; the first one counts unless the system overrides it.
constexpr std::array<TMimeLine, 384> kBuiltIn{{
    // animation
    {".nml", "animation/narrative"},
    // audio
    {".aac", "audio/mp4"},
    {".aif", "audio/x-aiff"},
    {".aifc", "audio/x-aiff"},
    {".aiff", "audio/x-aiff"},
    {".au", "audio/basic"},
    {".gsm", "audio/x-gsm"},
    {".kar", "audio/midi"},
    {".m3u", "audio/mpegurl"},
    {".m4a", "audio/x-mpg"},
    {".mid", "audio/midi"},
    {".midi", "audio/midi"},
    {".mpega", "audio/x-mpg"},
    {".mp2", "audio/x-mpg"},
    {".mp3", "audio/x-mpg"},
    {".mpga", "audio/x-mpg"},
    {".m3u", "audio/x-mpegurl"},
    {".pls", "audio/x-scpls"},
    {".qcp", "audio/vnd.qcelp"},
    {".ra", "audio/x-realaudio"},
    {".ram", "audio/x-pn-realaudio"},
    {".rm", "audio/x-pn-realaudio"},
    {".sd2", "audio/x-sd2"},
    {".sid", "audio/prs.sid"},
    {".snd", "audio/basic"},
    {".wav", "audio/x-wav"},
    {".wax", "audio/x-ms-wax"},
    {".wma", "audio/x-ms-wma"},
    {".mjf", "audio/x-vnd.AudioExplosion.MjuiceMediaFile"},
    // image
    {".art", "image/x-jg"},
    {".bmp", "image/bmp"},
    {".cdr", "image/x-coreldraw"},
    {".cdt", "image/x-coreldrawtemplate"},
    {".cpt", "image/x-corelphotopaint"},
    {".djv", "image/vnd.djvu"},
    {".djvu", "image/vnd.djvu"},
    {".gif", "image/gif"},
    {".ief", "image/ief"},
    {".ico", "image/x-icon"},
    {".jng", "image/x-jng"},
    {".jpg", "image/jpeg"},
    {".jpeg", "image/jpeg"},
    {".jpe", "image/jpeg"},
    {".pat", "image/x-coreldrawpattern"},
    {".pcx", "image/pcx"},
    {".pbm", "image/x-portable-bitmap"},
    {".pgm", "image/x-portable-graymap"},
    {".pict", "image/x-pict"},
    {".png", "image/x-png"},
    {".pnm", "image/x-portable-anymap"},
    {".pntg", "image/x-macpaint"},
    {".ppm", "image/x-portable-pixmap"},
    {".psd", "image/x-psd"},
    {".qtif", "image/x-quicktime"},
    {".ras", "image/x-cmu-raster"},
    {".rf", "image/vnd.rn-realflash"},
    {".rgb", "image/x-rgb"},
    {".rp", "image/vnd.rn-realpix"},
    {".sgi", "image/x-sgi"},
    {".svg", "image/svg+xml"},
    {".svgz", "image/svg+xml"},
    {".targa", "image/x-targa"},
    {".tif", "image/x-tiff"},
    {".wbmp", "image/vnd.wap.wbmp"},
    {".webp", "image/webp"},
    {".xbm", "image/xbm"},
    {".xbm", "image/x-xbitmap"},
    {".xpm", "image/x-xpixmap"},
    {".xwd", "image/x-xwindowdump"},
    // text
    {".323", "text/h323"},
    {".xml", "text/xml"},
    {".uls", "text/iuls"},
    {".txt", "text/plain"},
    {".rtx", "text/richtext"},
    {".wsc", "text/scriptlet"},
    {".rt", "text/vnd.rn-realtext"},
    {".htt", "text/webviewhtml"},
    {".htc", "text/x-component"},
    {".vcf", "text/x-vcard"},
    // video
    {".asf", "video/x-ms-asf"},
    {".asx", "video/x-ms-asf"},
    {".avi", "video/x-msvideo"},
    {".dl", "video/dl"},
    {".dv", "video/dv"},
    {".flc", "video/flc"},
    {".fli", "video/fli"},
    {".gl", "video/gl"},
    {".lsf", "video/x-la-asf"},
    {".lsx", "video/x-la-asf"},
    {".mng", "video/x-mng"},
    {".mp2", "video/mpeg"},
    {".mp3", "video/mpeg"},
    {".mp4", "video/mpeg"},
    {".mpeg", "video/x-mpeg2a"},
    {".mpa", "video/mpeg"},
    {".mpe", "video/mpeg"},
    {".mpg", "video/mpeg"},
    {".ogv", "video/ogg"},
    {".moov", "video/quicktime"},
    {".mov", "video/quicktime"},
    {".mxu", "video/vnd.mpegurl"},
    {".qt", "video/quicktime"},
    {".qtc", "video/x-qtc"},
    {".rv", "video/vnd.rn-realvideo"},
    {".ivf", "video/x-ivf"},
    {".webm", "video/webm"},
    {".wm", "video/x-ms-wm"},
    {".wmp", "video/x-ms-wmp"},
    {".wmv", "video/x-ms-wmv"},
    {".wmx", "video/x-ms-wmx"},
    {".wvx", "video/x-ms-wvx"},
    {".rms", "video/vnd.rn-realvideo-secure"},
    {".asx", "video/x-ms-asf-plugin"},
    {".movie", "video/x-sgi-movie"},
    // application
    {".7z", "application/x-7z-compressed"},
    {".a", "application/x-archive"},
    {".aab", "application/x-authorware-bin"},
    {".aam", "application/x-authorware-map"},
    {".aas", "application/x-authorware-seg"},
    {".abw", "application/x-abiword"},
    {".ace", "application/x-ace-compressed"},
    {".ai", "application/postscript"},
    {".alz", "application/x-alz-compressed"},
    {".ani", "application/x-navi-animation"},
    {".arj", "application/x-arj"},
    {".asf", "application/vnd.ms-asf"},
    {".bat", "application/x-msdos-program"},
    {".bcpio", "application/x-bcpio"},
    {".boz", "application/x-bzip2"},
    {".bz", "application/x-bzip"},
    {".bz2", "application/x-bzip2"},
    {".cab", "application/vnd.ms-cab-compressed"},
    {".cat", "application/vnd.ms-pki.seccat"},
    {".ccn", "application/x-cnc"},
    {".cco", "application/x-cocoa"},
    {".cdf", "application/x-cdf"},
    {".cer", "application/x-x509-ca-cert"},
    {".chm", "application/vnd.ms-htmlhelp"},
    {".chrt", "application/vnd.kde.kchart"},
    {".cil", "application/vnd.ms-artgalry"},
    {".class", "application/java-vm"},
    {".com", "application/x-msdos-program"},
    {".clp", "application/x-msclip"},
    {".cpio", "application/x-cpio"},
    {".cpt", "application/mac-compactpro"},
    {".cqk", "application/x-calquick"},
    {".crd", "application/x-mscardfile"},
    {".crl", "application/pkix-crl"},
    {".csh", "application/x-csh"},
    {".dar", "application/x-dar"},
    {".dbf", "application/x-dbase"},
    {".dcr", "application/x-director"},
    {".deb", "application/x-debian-package"},
    {".dir", "application/x-director"},
    {".dist", "application/vnd.apple.installer+xml"},
    {".distz", "application/vnd.apple.installer+xml"},
    {".dll", "application/x-msdos-program"},
    {".dmg", "application/x-apple-diskimage"},
    {".doc", "application/msword"},
    {".dot", "application/msword"},
    {".dvi", "application/x-dvi"},
    {".dxr", "application/x-director"},
    {".ebk", "application/x-expandedbook"},
    {".eps", "application/postscript"},
    {".evy", "application/envoy"},
    {".exe", "application/x-msdos-program"},
    {".fdf", "application/vnd.fdf"},
    {".fif", "application/fractals"},
    {".flm", "application/vnd.kde.kivio"},
    {".fml", "application/x-file-mirror-list"},
    {".gzip", "application/x-gzip"},
    {".gnumeric", "application/x-gnumeric"},
    {".gtar", "application/x-gtar"},
    {".gz", "application/x-gzip"},
    {".hdf", "application/x-hdf"},
    {".hlp", "application/winhlp"},
    {".hpf", "application/x-icq-hpf"},
    {".hqx", "application/mac-binhex40"},
    {".hta", "application/hta"},
    {".ims", "application/vnd.ms-ims"},
    {".ins", "application/x-internet-signup"},
    {".iii", "application/x-iphone"},
    {".iso", "application/x-iso9660-image"},
    {".jar", "application/java-archive"},
    {".karbon", "application/vnd.kde.karbon"},
    {".kfo", "application/vnd.kde.kformula"},
    {".kon", "application/vnd.kde.kontour"},
    {".kpr", "application/vnd.kde.kpresenter"},
    {".kpt", "application/vnd.kde.kpresenter"},
    {".kwd", "application/vnd.kde.kword"},
    {".kwt", "application/vnd.kde.kword"},
    {".latex", "application/x-latex"},
    {".lha", "application/x-lzh"},
    {".lcc", "application/fastman"},
    {".lrm", "application/vnd.ms-lrm"},
    {".lz", "application/x-lzip"},
    {".lzh", "application/x-lzh"},
    {".lzma", "application/x-lzma"},
    {".lzo", "application/x-lzop"},
    {".lzx", "application/x-lzx"},
    {".m13", "application/x-msmediaview"},
    {".m14", "application/x-msmediaview"},
    {".mpp", "application/vnd.ms-project"},
    {".mvb", "application/x-msmediaview"},
    {".man", "application/x-troff-man"},
    {".mdb", "application/x-msaccess"},
    {".me", "application/x-troff-me"},
    {".ms", "application/x-troff-ms"},
    {".msi", "application/x-msi"},
    {".mpkg", "application/vnd.apple.installer+xml"},
    {".mny", "application/x-msmoney"},
    {".nix", "application/x-mix-transfer"},
    {".o", "application/x-object"},
    {".oda", "application/oda"},
    {".odb", "application/vnd.oasis.opendocument.database"},
    {".odc", "application/vnd.oasis.opendocument.chart"},
    {".odf", "application/vnd.oasis.opendocument.formula"},
    {".odg", "application/vnd.oasis.opendocument.graphics"},
    {".odi", "application/vnd.oasis.opendocument.image"},
    {".odm", "application/vnd.oasis.opendocument.text-master"},
    {".odp", "application/vnd.oasis.opendocument.presentation"},
    {".ods", "application/vnd.oasis.opendocument.spreadsheet"},
    {".ogg", "application/ogg"},
    {".odt", "application/vnd.oasis.opendocument.text"},
    {".otg", "application/vnd.oasis.opendocument.graphics-template"},
    {".oth", "application/vnd.oasis.opendocument.text-web"},
    {".otp", "application/vnd.oasis.opendocument.presentation-template"},
    {".ots", "application/vnd.oasis.opendocument.spreadsheet-template"},
    {".ott", "application/vnd.oasis.opendocument.text-template"},
    {".p10", "application/pkcs10"},
    {".p12", "application/x-pkcs12"},
    {".p7b", "application/x-pkcs7-certificates"},
    {".p7m", "application/pkcs7-mime"},
    {".p7r", "application/x-pkcs7-certreqresp"},
    {".p7s", "application/pkcs7-signature"},
    {".package", "application/vnd.autopackage"},
    {".pfr", "application/font-tdpfr"},
    {".pkg", "application/vnd.apple.installer+xml"},
    {".pdf", "application/pdf"},
    {".pko", "application/vnd.ms-pki.pko"},
    {".pl", "application/x-perl"},
    {".pnq", "application/x-icq-pnq"},
    {".pot", "application/mspowerpoint"},
    {".pps", "application/mspowerpoint"},
    {".ppt", "application/mspowerpoint"},
    {".ppz", "application/mspowerpoint"},
    {".ps", "application/postscript"},
    {".pub", "application/x-mspublisher"},
    {".qpw", "application/x-quattropro"},
    {".qtl", "application/x-quicktimeplayer"},
    {".rar", "application/rar"},
    {".rdf", "application/rdf+xml"},
    {".rjs", "application/vnd.rn-realsystem-rjs"},
    {".rm", "application/vnd.rn-realmedia"},
    {".rmf", "application/vnd.rmf"},
    {".rmp", "application/vnd.rn-rn_music_package"},
    {".rmx", "application/vnd.rn-realsystem-rmx"},
    {".rnx", "application/vnd.rn-realplayer"},
    {".rpm", "application/x-redhat-package-manager"},
    {".rsml", "application/vnd.rn-rsml"},
    {".rtsp", "application/x-rtsp"},
    {".rss", "application/rss+xml"},
    {".scm", "application/x-icq-scm"},
    {".ser", "application/java-serialized-object"},
    {".scd", "application/x-msschedule"},
    {".sda", "application/vnd.stardivision.draw"},
    {".sdc", "application/vnd.stardivision.calc"},
    {".sdd", "application/vnd.stardivision.impress"},
    {".sdp", "application/x-sdp"},
    {".setpay", "application/set-payment-initiation"},
    {".setreg", "application/set-registration-initiation"},
    {".sh", "application/x-sh"},
    {".shar", "application/x-shar"},
    {".shw", "application/presentations"},
    {".sit", "application/x-stuffit"},
    {".sitx", "application/x-stuffitx"},
    {".skd", "application/x-koan"},
    {".skm", "application/x-koan"},
    {".skp", "application/x-koan"},
    {".skt", "application/x-koan"},
    {".smf", "application/vnd.stardivision.math"},
    {".smi", "application/smil"},
    {".smil", "application/smil"},
    {".spl", "application/futuresplash"},
    {".ssm", "application/streamingmedia"},
    {".sst", "application/vnd.ms-pki.certstore"},
    {".stc", "application/vnd.sun.xml.calc.template"},
    {".std", "application/vnd.sun.xml.draw.template"},
    {".sti", "application/vnd.sun.xml.impress.template"},
    {".stl", "application/vnd.ms-pki.stl"},
    {".stw", "application/vnd.sun.xml.writer.template"},
    {".svi", "application/softvision"},
    {".sv4cpio", "application/x-sv4cpio"},
    {".sv4crc", "application/x-sv4crc"},
    {".swf", "application/x-shockwave-flash"},
    {".swf1", "application/x-shockwave-flash"},
    {".sxc", "application/vnd.sun.xml.calc"},
    {".sxi", "application/vnd.sun.xml.impress"},
    {".sxm", "application/vnd.sun.xml.math"},
    {".sxw", "application/vnd.sun.xml.writer"},
    {".sxg", "application/vnd.sun.xml.writer.global"},
    {".t", "application/x-troff"},
    {".tar", "application/x-tar"},
    {".tcl", "application/x-tcl"},
    {".tex", "application/x-tex"},
    {".texi", "application/x-texinfo"},
    {".texinfo", "application/x-texinfo"},
    {".tbz", "application/x-bzip-compressed-tar"},
    {".tbz2", "application/x-bzip-compressed-tar"},
    {".tgz", "application/x-compressed-tar"},
    {".tlz", "application/x-lzma-compressed-tar"},
    {".tr", "application/x-troff"},
    {".trm", "application/x-msterminal"},
    {".troff", "application/x-troff"},
    {".tsp", "application/dsptype"},
    {".torrent", "application/x-bittorrent"},
    {".ttz", "application/t-time"},
    {".txz", "application/x-xz-compressed-tar"},
    {".udeb", "application/x-debian-package"},
    {".uin", "application/x-icq"},
    {".urls", "application/x-url-list"},
    {".ustar", "application/x-ustar"},
    {".vcd", "application/x-cdlink"},
    {".vor", "application/vnd.stardivision.writer"},
    {".vsl", "application/x-cnet-vsl"},
    {".wcm", "application/vnd.ms-works"},
    {".wb1", "application/x-quattropro"},
    {".wb2", "application/x-quattropro"},
    {".wb3", "application/x-quattropro"},
    {".wdb", "application/vnd.ms-works"},
    {".wks", "application/vnd.ms-works"},
    {".wmd", "application/x-ms-wmd"},
    {".wms", "application/x-ms-wms"},
    {".wmz", "application/x-ms-wmz"},
    {".wp5", "application/wordperfect5.1"},
    {".wpd", "application/wordperfect"},
    {".wpl", "application/vnd.ms-wpl"},
    {".wps", "application/vnd.ms-works"},
    {".wri", "application/x-mswrite"},
    {".xfdf", "application/vnd.adobe.xfdf"},
    {".xls", "application/x-msexcel"},
    {".xlb", "application/x-msexcel"},
    {".xpi", "application/x-xpinstall"},
    {".xps", "application/vnd.ms-xpsdocument"},
    {".xsd", "application/vnd.sun.xml.draw"},
    {".xul", "application/vnd.mozilla.xul+xml"},
    {".z", "application/x-compress"},
    {".zoo", "application/x-zoo"},
    {".zip", "application/x-zip-compressed"},
    // WAP
    {".wbmp", "image/vnd.wap.wbmp"},
    {".wml", "text/vnd.wap.wml"},
    {".wmlc", "application/vnd.wap.wmlc"},
    {".wmls", "text/vnd.wap.wmlscript"},
    {".wmlsc", "application/vnd.wap.wmlscriptc"},
    // source text
    {".asm", "text/x-asm"},
    {".p", "text/x-pascal"},
    {".pas", "text/x-pascal"},
    {".cs", "text/x-csharp"},
    {".c", "text/x-csrc"},
    {".c++", "text/x-c++src"},
    {".cpp", "text/x-c++src"},
    {".cxx", "text/x-c++src"},
    {".cc", "text/x-c++src"},
    {".h", "text/x-chdr"},
    {".h++", "text/x-c++hdr"},
    {".hpp", "text/x-c++hdr"},
    {".hxx", "text/x-c++hdr"},
    {".hh", "text/x-c++hdr"},
    {".java", "text/x-java"},
    // web
    {".css", "text/css"},
    {".js", "text/javascript"},
    {".htm", "text/html"},
    {".html", "text/html"},
    {".xhtml", "application/xhtml+xml"},
    {".xht", "application/xhtml+xml"},
    {".rdf", "application/rdf+xml"},
    {".rss", "application/rss+xml"},
    {".ls", "text/javascript"},
    {".mocha", "text/javascript"},
    {".shtml", "server-parsed-html"},
    {".xml", "text/xml"},
    {".sgm", "text/sgml"},
    {".sgml", "text/sgml"},
    // message
    {".mht", "message/rfc822"},
}};

// Brings an extension into its stored form: lower-case with a leading ".".
// Empty when it cannot be stored: empty, a bare "." (a name that ends in a dot
// has no extension to look up), or holding "=" (it could not be written as an
// extension=type line).
std::string NormalizeExtension(std::string_view extension) {
  if (extension.empty() || extension.find('=') != std::string_view::npos) return {};
  std::string ext = utf::LowerCase(extension);
  if (ext.front() != '.') ext.insert(ext.begin(), '.');
  if (ext.size() == 1) return {};
  return ext;
}

// Lower-cased type, or empty when it is unusable. Control characters are
// refused because the type ends up in a response header.
std::string NormalizeType(std::string_view mime_type) {
  for (const char c : mime_type) {
    const auto b = static_cast<unsigned char>(c);
    if (b < 0x20 || b == 0x7F) return {};
  }
  return utf::LowerCase(mime_type);
}

// The ordered extension=type lines the table is loaded from.
class LineList {
 public:
  void Append(std::string extension, std::string mime_type) {
    first_.emplace(extension, lines_.size());  // keeps the first line of a repeat
    lines_.push_back({std::move(extension), std::move(mime_type)});
  }

  // Replaces the type of the first line for `extension` in place, or appends.
  void Set(std::string extension, std::string mime_type) {
    if (const auto it = first_.find(extension); it != first_.end()) {
      lines_[it->second].mime_type = std::move(mime_type);
    } else {
      Append(std::move(extension), std::move(mime_type));
    }
  }

  void SetAll(const std::vector<platform::MimeMapping>& mappings) {
    for (const auto& m : mappings) {
      std::string ext = NormalizeExtension(m.extension);
      std::string type = NormalizeType(m.mime_type);
      if (!ext.empty() && !type.empty()) Set(std::move(ext), std::move(type));
    }
  }

  const std::vector<TMimeEntry>& lines() const { return lines_; }

 private:
  std::vector<TMimeEntry> lines_;
  std::unordered_map<std::string, std::size_t> first_;
};

struct Cache {
  std::mutex build_mutex;  // one build at a time, so racing first lookups build once
  std::mutex mutex;        // guards `table`; held only to copy the pointer
  std::shared_ptr<const TMimeTable> table;
};

Cache& TheCache() {
  static Cache cache;
  return cache;
}

}  // namespace

std::span<const TMimeLine> BuiltInMimeLines() { return kBuiltIn; }

std::string_view MimeExtensionOf(std::string_view file_name) {
  // Byte-wise is exact on UTF-8: these three ASCII bytes never occur inside a
  // multi-byte sequence.
  for (std::size_t i = file_name.size(); i-- > 0;) {
    const char c = file_name[i];
    if (c == '.') return file_name.substr(i);
    if (c == '\\' || c == ':') break;
  }
  return {};
}

TMimeTable TMimeTable::Build(const platform::Os& os) {
  LineList list;
  for (const TMimeLine& line : kBuiltIn) {
    list.Append(std::string(line.extension), std::string(line.mime_type));
  }
  // Both passes are fetched before either is applied, so a seam error leaves
  // nothing half-built behind.
  const std::vector<platform::MimeMapping> first = os.MimeTypesByExtension();
  const std::vector<platform::MimeMapping> second = os.ExtensionsByMimeType();
  list.SetAll(first);
  list.SetAll(second);

  TMimeTable table;
  table.entries_.reserve(list.lines().size());
  for (const TMimeEntry& line : list.lines()) {
    std::string ext = NormalizeExtension(line.extension);
    std::string type = NormalizeType(line.mime_type);
    if (ext.empty() || type.empty()) continue;
    if (table.index_.emplace(ext, table.entries_.size()).second) {
      table.entries_.push_back({std::move(ext), std::move(type)});
    }
  }
  return table;
}

const std::string* TMimeTable::Find(const std::string& extension) const {
  const auto it = index_.find(extension);
  return it == index_.end() ? nullptr : &entries_[it->second].mime_type;
}

std::string TMimeTable::TypeOfFile(std::string_view file_name) const {
  const std::string_view ext = MimeExtensionOf(file_name);
  if (!ext.empty()) {
    if (const std::string* type = Find(utf::LowerCase(ext))) return *type;
  }
  return std::string(kOctetStream);
}

std::shared_ptr<const TMimeTable> CachedMimeTable() {
  Cache& cache = TheCache();
  {
    const std::lock_guard lock(cache.mutex);
    if (cache.table) return cache.table;
  }
  // Lookups of a built table never wait for a build; a throwing build leaves
  // the cache empty.
  const std::lock_guard build_lock(cache.build_mutex);
  {
    const std::lock_guard lock(cache.mutex);
    if (cache.table) return cache.table;
  }
  auto built = std::make_shared<const TMimeTable>(TMimeTable::Build(platform::CurrentOs()));
  const std::lock_guard lock(cache.mutex);
  cache.table = built;
  return built;
}

void ResetCachedMimeTable() {
  Cache& cache = TheCache();
  const std::lock_guard lock(cache.mutex);
  cache.table.reset();
}

}  // namespace tessel::shared
