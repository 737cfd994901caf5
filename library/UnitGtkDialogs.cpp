#define DORVIK_BUILDING
#include "library/UnitGtkDialogs.h"

#include "library/dorvik.h"

#include "crypto/UnitCertificateReport.h"
#include "crypto/UnitSignedDataReport.h"
#include "encoding/UnitEncoding.h"
#include "library/UnitCertificateSelector.h"
#include "platform/UnitTrace.h"
#include "platform/nss/UnitNssCore.h"
#include "resources/UnitResources.h"

#if DORVIK_HAVE_CERTIFICATE_STORES
#include "crypto/UnitCertificates.h"
#endif

#include <gtk/gtk.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <random>
#include <thread>

using UnitTrace::Trace;

namespace UnitGtkDialogs {

namespace {

constexpr const char* kSelectorTable = "DerovArazCertificateSelector";
constexpr const char* kViewerTable = "DerovArazCertificateViewer";
constexpr const char* kPinTable = "DerovArazPinPrompt";
constexpr const char* kButtonTable = "DerovArazDialogButtons";
constexpr const char* kVerdictTable = "DerovArazSignatureVerdict";

int& GtkState()  // 0 not tried, 1 running, -1 unavailable
{
    static int state = 0;
    return state;
}

bool EnsureGtk()
{
    int& state = GtkState();
    if (state == 0) {
        if (!UnitCertificateSelector::DisplayAvailable()) {
            return false;
        }
        if (gdk_display_get_default()) {
            state = 1;  // a GTK program loaded the library: its toolkit is ours
            return true;
        }
        // Numbers written by the library must not follow the user's locale.
        gtk_disable_setlocale();
        state = gtk_init_check(nullptr, nullptr) ? 1 : -1;
        if (state < 0)
            Trace("The display cannot be opened; no dialogs");
    }
    return state == 1;
}

// Texts for GTK: UTF-8 (the 8-bit code page here), CR LF as plain line breaks.
std::string ForGtk(std::string text)
{
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i)
        if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n'))
            out.push_back(text[i]);
    if (!g_utf8_validate(out.data(), static_cast<gssize>(out.size()), nullptr)) {
        gchar* valid = g_utf8_make_valid(out.data(), static_cast<gssize>(out.size()));
        out = valid;
        g_free(valid);
    }
    return out;
}

struct TTexts {
    const TResourceStringTable* Table = nullptr;
    std::string operator()(int n) const { return Table ? ForGtk(Table->Entry(n)) : std::string(); }
};

TTexts Table(const char* name)
{
    TTexts texts;
    if (TResourceCentre* centre = UnitResources::Centre())
        texts.Table = &centre->StringTable(name);
    return texts;
}

GdkPixbuf* PictureOf(const char* name, const char* kind)
{
    TResourceCentre* centre = UnitResources::Centre();
    TResourcePicture picture;
    if (!centre || !centre->Picture(name, kind, picture))
        return nullptr;
    GdkPixbufLoader* loader = gdk_pixbuf_loader_new();
    GdkPixbuf* pixbuf = nullptr;
    if (gdk_pixbuf_loader_write(loader, picture.Bytes.data(), picture.Bytes.size(), nullptr)
        && gdk_pixbuf_loader_close(loader, nullptr)) {
        pixbuf = gdk_pixbuf_loader_get_pixbuf(loader);
        if (pixbuf)
            g_object_ref(pixbuf);
    } else {
        gdk_pixbuf_loader_close(loader, nullptr);
    }
    g_object_unref(loader);
    return pixbuf;
}

int RandomBelow(int bound)
{
    static std::mt19937 generator {std::random_device {}()};
    return bound <= 1 ? 0 : std::uniform_int_distribution<int>(0, bound - 1)(generator);
}

// Places the window on a monitor chosen at random, wholly inside that monitor's work area;
// a window larger than the area is put at its edge and given its size.
void PlaceOnRandomMonitor(GtkWindow* window, int width, int height)
{
    GdkDisplay* display = gdk_display_get_default();
    const int monitors = display ? gdk_display_get_n_monitors(display) : 0;
    GdkRectangle area {0, 0, width, height};
    if (monitors > 0)
        gdk_monitor_get_workarea(gdk_display_get_monitor(display, RandomBelow(monitors)), &area);
    const int w = std::min(width, area.width);
    const int h = std::min(height, area.height);
    const int x = area.x + RandomBelow(area.width - w + 1);
    const int y = area.y + RandomBelow(area.height - h + 1);
    gtk_widget_set_size_request(GTK_WIDGET(window), w, h);
    gtk_window_set_default_size(window, w, h);
    gtk_window_set_gravity(window, GDK_GRAVITY_NORTH_WEST);
    gtk_window_move(window, x, y);
}

void SettleWindows()
{
    if (GdkDisplay* display = gdk_display_get_default())
        gdk_display_flush(display);
    DispatchPending();
}

GtkWidget* MessageBox(GtkWindow* parent, GtkMessageType type, const std::string& title, const std::string& text)
{
    GtkWidget* box = gtk_message_dialog_new(parent, parent ? GTK_DIALOG_MODAL : GtkDialogFlags(0), type,
                                            GTK_BUTTONS_NONE, "%s", text.c_str());
    gtk_window_set_title(GTK_WINDOW(box), title.c_str());
    if (!parent) {
        gtk_window_set_position(GTK_WINDOW(box), GTK_WIN_POS_CENTER);
        gtk_window_set_keep_above(GTK_WINDOW(box), TRUE);
    }
    return box;
}

// Base64 (how the stores export) or hex (how references carry it) to bytes.
std::optional<UnitEncoding::TBytes> CertificateBytes(const std::string& data)
{
    if (data.empty())
        return std::nullopt;
    try {
        if (auto bytes = UnitEncoding::DecodeText(data, UnitEncoding::TEncodingNumber::Base64); bytes && !bytes->empty())
            return bytes;
    } catch (...) {
    }
    try {
        if (auto bytes = UnitEncoding::DecodeText(data, UnitEncoding::TEncodingNumber::Hex); bytes && !bytes->empty())
            return bytes;
    } catch (...) {
    }
    return std::nullopt;
}

// The bytes an entry's preview is built from: the first certificate of its chain when that
// carries data, otherwise the entry's own certificate, exported from the store when needed.
std::optional<UnitEncoding::TBytes> PreviewBytes(TXmlDoc& entry)
{
    std::unique_ptr<TXmlDoc> parsed;
    TXmlDoc* chain = entry.FindNode("Chain");
    if (!chain && !entry.Getp("Chain").empty()) {
        parsed = TXmlDoc::CreateFromXML(entry.Getp("Chain"));
        chain = parsed.get();
    }
    if (chain && chain->GetNodeCount() > 0)
        if (auto bytes = CertificateBytes(chain->ChildAt(0)->Getp("Data")))
            return bytes;
    if (auto bytes = CertificateBytes(entry.Getp("Data")))
        return bytes;
#if DORVIK_HAVE_CERTIFICATE_STORES
    TXmlDoc reference("Certificate");
    reference.Setp("Code", entry.Getp("Code"));
    reference.Setp("Store", entry.Getp("Store"));
    if (UnitCertificates::ExportCertificate(reference))
        return CertificateBytes(reference.Getp("Data"));
#endif
    return std::nullopt;
}

int PreviewDelayMs()
{
    // For testing and diagnosis: lets the preview take the time a slow verification would.
    const char* text = std::getenv("DORVIK_PREVIEW_DELAY_MS");
    int value = 0;
    if (text && *text)
        std::from_chars(text, text + std::char_traits<char>::length(text), value);
    return std::clamp(value, 0, 600000);
}

// ==================================================================== the selector

enum TColumn { colPicture, colName, colIndex, colWeight, colCount };

class TCertificateDialog;

// The other certificates of an entry's chain (after the first), as DER.
std::vector<UnitEncoding::TBytes> ChainRest(TXmlDoc& entry)
{
    std::vector<UnitEncoding::TBytes> rest;
    std::unique_ptr<TXmlDoc> parsed;
    TXmlDoc* chain = entry.FindNode("Chain");
    if (!chain && !entry.Getp("Chain").empty()) {
        parsed = TXmlDoc::CreateFromXML(entry.Getp("Chain"));
        chain = parsed.get();
    }
    for (int i = 1; chain && i < chain->GetNodeCount(); ++i)
        if (auto bytes = CertificateBytes(chain->ChildAt(static_cast<size_t>(i))->Getp("Data")))
            rest.push_back(std::move(*bytes));
    return rest;
}

// The verdict of the focused certificate in a few lines: the overall word, then each finding
// that is not plain information (expired, chain incomplete, untrusted root, revoked...).
std::string VerdictLines(const TXmlDoc& verdict, const TResourceStringTable* table)
{
    auto label = [&](const std::string& word) {
        const std::string text = table ? ForGtk(table->Entry(word)) : std::string();
        return text.empty() ? word : text;
    };
    static const char* const Findings[] = {
        "CertificateExpired", "CertificateSoonExpired", "CertificateNotYetValid", "IssuerNotFound",
        "CertSignatureFailed", "Revocated", "OldCRL", "RevocationListNotFound", "RevocationListInvalid",
        "IncompleteCertificateChain", "UntrustedRoot", "CertificateExpirationConstraint",
        "CertificateRevocationConstraint", "CertificateRevocationPostConstraint", "MissingUsageNonRepudiation",
        "MissingUsageDigitalSignature", "MissingUsageCAFlag", "InvalidPathLength", "MissingUsageKeyCertSign",
        "MissingUsageCRLSign", "CertificateSignatureCheckFailed"};
    std::string out;
    const TXmlDoc* first = verdict.ChildAt(0);
    out += label(first && first->GetName().rfind("Cert", 0) == 0 ? first->GetName() : verdict.GetName()) + "\n";
    for (int i = 0; i < verdict.GetNodeCount(); ++i) {
        const TXmlDoc* certificate = verdict.ChildAt(static_cast<size_t>(i));
        for (const char* finding : Findings)
            if (const TXmlDoc* node = certificate->FindNode(finding)) {
                std::string line = "  " + label(finding);
                if (!node->GetValue().empty())
                    line += ": " + ForGtk(node->GetValue());
                if (i > 0)
                    line += " (" + ForGtk(certificate->GetValue()) + ")";
                out += line + "\n";
            }
    }
    return out;
}

// What the preview worker and the window share; the window may be gone when the worker ends.
struct TPreviewShared {
    std::mutex Lock;
    std::condition_variable Wake;
    bool Cancelled = false;
};

struct TPreviewDone {
    std::weak_ptr<bool> Alive;
    TCertificateDialog* Dialog;
    int Generation;
    std::string Text;
    bool Ok;
};

class TCertificateDialog {
public:
    TCertificateDialog(TXmlDoc& list) : FList(list), FTexts(Table(kSelectorTable)), FViewer(Table(kViewerTable)) {}

    ~TCertificateDialog()
    {
        StopWorker();
        if (FWindow)
            gtk_widget_destroy(FWindow);
        FAlive.reset();
        SettleWindows();
    }

    int Run()
    {
        Build();
        FLoop = g_main_loop_new(nullptr, FALSE);
        gtk_widget_show_all(FWindow);
        gtk_widget_hide(FPreviewScroll);
        FocusFirstEntry();
        gtk_window_present(GTK_WINDOW(FWindow));
        g_main_loop_run(FLoop);
        g_main_loop_unref(FLoop);
        FLoop = nullptr;
        return FResult;
    }

private:
    void Build()
    {
        FWindow = gtk_window_new(GTK_WINDOW_TOPLEVEL);
        GtkWindow* window = GTK_WINDOW(FWindow);
        gtk_window_set_title(window, FTexts(1).c_str());
        gtk_window_set_modal(window, TRUE);
        // A dialog frame: the close box only, no minimise or maximise.
        gtk_window_set_type_hint(window, GDK_WINDOW_TYPE_HINT_DIALOG);
        gtk_window_set_resizable(window, FALSE);
        gtk_window_set_skip_taskbar_hint(window, FALSE);
        gtk_window_set_keep_above(window, TRUE);
        gtk_container_set_border_width(GTK_CONTAINER(FWindow), 10);
        if (GdkPixbuf* icon = PictureOf("DerovArazCertificateSelectorPrompt", "ICO")) {
            gtk_window_set_icon(window, icon);
            g_object_unref(icon);
        }
        PlaceOnRandomMonitor(window, 780, 500);

        GtkWidget* column = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
        gtk_container_add(GTK_CONTAINER(FWindow), column);

        // Who asks for the signature, above the list (plain text: an origin is not markup).
        if (const std::string line = OriginLine(FList.Getp("Origin")); !line.empty()) {
            GtkWidget* origin = gtk_label_new(line.c_str());
            gtk_label_set_xalign(GTK_LABEL(origin), 0);
            gtk_label_set_ellipsize(GTK_LABEL(origin), PANGO_ELLIPSIZE_END);
            gtk_label_set_selectable(GTK_LABEL(origin), FALSE);
            PangoAttrList* attributes = pango_attr_list_new();
            pango_attr_list_insert(attributes, pango_attr_weight_new(PANGO_WEIGHT_BOLD));
            pango_attr_list_insert(attributes, pango_attr_scale_new(1.15));
            gtk_label_set_attributes(GTK_LABEL(origin), attributes);
            pango_attr_list_unref(attributes);
            gtk_widget_set_margin_bottom(origin, 8);
            gtk_box_pack_start(GTK_BOX(column), origin, FALSE, FALSE, 0);
        }

        FPaned = gtk_paned_new(GTK_ORIENTATION_HORIZONTAL);
        gtk_widget_set_vexpand(FPaned, TRUE);
        gtk_box_pack_start(GTK_BOX(column), FPaned, TRUE, TRUE, 0);

        BuildList();
        GtkWidget* listScroll = gtk_scrolled_window_new(nullptr, nullptr);
        gtk_scrolled_window_set_shadow_type(GTK_SCROLLED_WINDOW(listScroll), GTK_SHADOW_IN);
        gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(listScroll), GTK_POLICY_AUTOMATIC, GTK_POLICY_AUTOMATIC);
        gtk_container_add(GTK_CONTAINER(listScroll), FTree);
        gtk_paned_pack1(GTK_PANED(FPaned), listScroll, TRUE, FALSE);

        FPreviewText = gtk_text_view_new();
        gtk_text_view_set_editable(GTK_TEXT_VIEW(FPreviewText), FALSE);
        gtk_text_view_set_cursor_visible(GTK_TEXT_VIEW(FPreviewText), FALSE);
        gtk_text_view_set_wrap_mode(GTK_TEXT_VIEW(FPreviewText), GTK_WRAP_WORD_CHAR);
        gtk_text_view_set_left_margin(GTK_TEXT_VIEW(FPreviewText), 6);
        gtk_text_view_set_right_margin(GTK_TEXT_VIEW(FPreviewText), 6);
        gtk_text_view_set_top_margin(GTK_TEXT_VIEW(FPreviewText), 6);
        gtk_widget_set_can_focus(FPreviewText, FALSE);
        FPreviewScroll = gtk_scrolled_window_new(nullptr, nullptr);
        gtk_scrolled_window_set_shadow_type(GTK_SCROLLED_WINDOW(FPreviewScroll), GTK_SHADOW_IN);
        gtk_container_add(GTK_CONTAINER(FPreviewScroll), FPreviewText);
        gtk_paned_pack2(GTK_PANED(FPaned), FPreviewScroll, TRUE, FALSE);

        // The bottom panel: the activity indicator on the left, the buttons on the right.
        GtkWidget* panel = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 6);
        gtk_widget_set_margin_top(panel, 5);
        gtk_box_pack_start(GTK_BOX(column), panel, FALSE, FALSE, 0);
        FSpinner = gtk_spinner_new();
        gtk_box_pack_start(GTK_BOX(panel), FSpinner, FALSE, FALSE, 0);
        GtkWidget* cancel = gtk_button_new_with_label(FTexts(12).c_str());
        gtk_box_pack_end(GTK_BOX(panel), cancel, FALSE, FALSE, 0);
        FAccept = gtk_button_new_with_label(FTexts(11).c_str());
        gtk_box_pack_end(GTK_BOX(panel), FAccept, FALSE, FALSE, 0);
        gtk_widget_set_can_default(FAccept, TRUE);
        gtk_window_set_default(window, FAccept);

        g_signal_connect(FAccept, "clicked", G_CALLBACK(+[](GtkButton*, gpointer self) {
                             static_cast<TCertificateDialog*>(self)->Accept();
                         }), this);
        g_signal_connect(cancel, "clicked", G_CALLBACK(+[](GtkButton*, gpointer self) {
                             static_cast<TCertificateDialog*>(self)->Close(-1);
                         }), this);
        g_signal_connect(FWindow, "delete-event", G_CALLBACK(+[](GtkWidget*, GdkEvent*, gpointer self) -> gboolean {
                             static_cast<TCertificateDialog*>(self)->Close(-1);
                             return TRUE;
                         }), this);
        g_signal_connect(FWindow, "key-press-event", G_CALLBACK(+[](GtkWidget*, GdkEventKey* event, gpointer self) -> gboolean {
                             if (event->keyval != GDK_KEY_Escape)
                                 return FALSE;
                             static_cast<TCertificateDialog*>(self)->Close(-1);
                             return TRUE;
                         }), this);
    }

    void BuildList()
    {
        FStore = gtk_tree_store_new(colCount, GDK_TYPE_PIXBUF, G_TYPE_STRING, G_TYPE_INT, G_TYPE_INT);
        GdkPixbuf* picture = PictureOf("DerovArazCertificateSelectorCertificate", "BMP");
        for (const bool signers : {true, false}) {
            GtkTreeIter heading;
            bool headed = false;
            for (int i = 0; i < FList.GetNodeCount(); ++i) {
                TXmlDoc* entry = FList.ChildAt(static_cast<size_t>(i));
                if ((entry->Getp("Signer") != "0") != signers)
                    continue;
                if (!headed) {
                    gtk_tree_store_append(FStore, &heading, nullptr);
                    gtk_tree_store_set(FStore, &heading, colName, FTexts(signers ? 23 : 24).c_str(), colIndex, -1,
                                       colWeight, PANGO_WEIGHT_BOLD, -1);
                    headed = true;
                }
                GtkTreeIter row;
                gtk_tree_store_append(FStore, &row, &heading);
                gtk_tree_store_set(FStore, &row, colPicture, picture, colName, ForGtk(entry->Getp("Name")).c_str(),
                                   colIndex, i, colWeight, PANGO_WEIGHT_NORMAL, -1);
            }
        }
        if (picture)
            g_object_unref(picture);

        FTree = gtk_tree_view_new_with_model(GTK_TREE_MODEL(FStore));
        g_object_unref(FStore);
        gtk_tree_view_set_headers_visible(GTK_TREE_VIEW(FTree), FALSE);
        gtk_tree_view_set_show_expanders(GTK_TREE_VIEW(FTree), FALSE);
        gtk_tree_view_set_level_indentation(GTK_TREE_VIEW(FTree), 12);
        GtkTreeViewColumn* col = gtk_tree_view_column_new();
        GtkCellRenderer* icon = gtk_cell_renderer_pixbuf_new();
        gtk_tree_view_column_pack_start(col, icon, FALSE);
        gtk_tree_view_column_add_attribute(col, icon, "pixbuf", colPicture);
        GtkCellRenderer* text = gtk_cell_renderer_text_new();
        gtk_tree_view_column_pack_start(col, text, TRUE);
        gtk_tree_view_column_add_attribute(col, text, "text", colName);
        gtk_tree_view_column_add_attribute(col, text, "weight", colWeight);
        gtk_tree_view_append_column(GTK_TREE_VIEW(FTree), col);
        gtk_tree_view_expand_all(GTK_TREE_VIEW(FTree));
        gtk_tree_selection_set_mode(gtk_tree_view_get_selection(GTK_TREE_VIEW(FTree)), GTK_SELECTION_SINGLE);
        // Groups stay open: a heading is not a folder.
        g_signal_connect(FTree, "test-collapse-row", G_CALLBACK(+[](GtkTreeView*, GtkTreeIter*, GtkTreePath*, gpointer) -> gboolean {
                             return TRUE;
                         }), nullptr);
        g_signal_connect(FTree, "cursor-changed", G_CALLBACK(+[](GtkTreeView*, gpointer self) {
                             static_cast<TCertificateDialog*>(self)->FocusChanged();
                         }), this);
        g_signal_connect(FTree, "row-activated", G_CALLBACK(+[](GtkTreeView*, GtkTreePath*, GtkTreeViewColumn*, gpointer self) {
                             static_cast<TCertificateDialog*>(self)->Accept();
                         }), this);
    }

    void FocusFirstEntry()
    {
        GtkTreeIter group;
        GtkTreeModel* model = GTK_TREE_MODEL(FStore);
        for (bool more = gtk_tree_model_get_iter_first(model, &group); more; more = gtk_tree_model_iter_next(model, &group)) {
            GtkTreeIter entry;
            if (gtk_tree_model_iter_children(model, &entry, &group)) {
                GtkTreePath* path = gtk_tree_model_get_path(model, &entry);
                gtk_tree_view_set_cursor(GTK_TREE_VIEW(FTree), path, nullptr, FALSE);
                gtk_tree_path_free(path);
                break;
            }
        }
        gtk_widget_grab_focus(FTree);
    }

    int FocusedIndex()
    {
        GtkTreePath* path = nullptr;
        gtk_tree_view_get_cursor(GTK_TREE_VIEW(FTree), &path, nullptr);
        if (!path)
            return -1;
        GtkTreeIter iter;
        int index = -1;
        if (gtk_tree_model_get_iter(GTK_TREE_MODEL(FStore), &iter, path))
            gtk_tree_model_get(GTK_TREE_MODEL(FStore), &iter, colIndex, &index, -1);
        gtk_tree_path_free(path);
        return index;
    }

    void FocusChanged()
    {
        const int index = FocusedIndex();
        if (index < 0)
            return;
        TXmlDoc* entry = FList.ChildAt(static_cast<size_t>(index));
        const std::string code = entry->Getp("Code");
        if (code == FLastPreviewed)
            return;
        FLastPreviewed = code;
        std::optional<UnitEncoding::TBytes> bytes;
        try {
            bytes = PreviewBytes(*entry);
        } catch (...) {
        }
        if (!bytes)
            return;  // nothing to show: the preview stays as it was
        std::vector<UnitEncoding::TBytes> rest;
        try {
            rest = ChainRest(*entry);
        } catch (...) {
        }
        StartPreview(std::move(*bytes), std::move(rest));
    }

    void StartPreview(UnitEncoding::TBytes bytes, std::vector<UnitEncoding::TBytes> rest)
    {
        StopWorker();
        ++FGeneration;
        SetWorking(true);
        FShared = std::make_shared<TPreviewShared>();
        auto done = std::make_unique<TPreviewDone>(TPreviewDone {FAlive, this, FGeneration, {}, false});
        const TTexts viewer = FViewer;
        const TTexts verdictTexts = Table(kVerdictTable);
        FWorker = std::thread([shared = FShared, done = std::move(done), bytes = std::move(bytes), viewer,
                               rest = std::move(rest), verdictTexts, delay = PreviewDelayMs()]() mutable {
            try {
                if (auto lines = UnitCertificateReport::Build(bytes)) {
                    // The verdict first (valid, expired, chain incomplete...), then the fields.
                    UnitSignedDataReport::TReportOptions options;
                    options.ExtraCertificates = std::move(rest);
                    auto report = UnitSignedDataReport::BuildCertificateReport(bytes, options);
                    auto verdict = UnitSignedDataReport::BuildVerdict(*report);
                    done->Text = VerdictLines(*verdict, verdictTexts.Table) + "\n" +
                                 UnitCertificateReport::Format(*lines, viewer);
                    done->Ok = true;
                }
            } catch (...) {
                // A failed report leaves the preview as it was.
            }
            {
                std::unique_lock lock(shared->Lock);
                shared->Wake.wait_for(lock, std::chrono::milliseconds(delay), [&] { return shared->Cancelled; });
                if (shared->Cancelled)
                    return;
            }
            g_idle_add(+[](gpointer data) -> gboolean {
                std::unique_ptr<TPreviewDone> result(static_cast<TPreviewDone*>(data));
                if (!result->Alive.expired())
                    result->Dialog->PreviewDone(*result);
                return G_SOURCE_REMOVE;
            }, done.release());
        });
    }

    void StopWorker()
    {
        if (!FWorker.joinable())
            return;
        {
            std::lock_guard lock(FShared->Lock);
            FShared->Cancelled = true;
        }
        FShared->Wake.notify_all();
        FWorker.join();
    }

    void PreviewDone(const TPreviewDone& result)
    {
        if (result.Generation != FGeneration)
            return;
        if (FWorker.joinable())
            FWorker.join();
        if (result.Ok)
            gtk_text_buffer_set_text(gtk_text_view_get_buffer(GTK_TEXT_VIEW(FPreviewText)), result.Text.c_str(), -1);
        SetWorking(false);
    }

    // While the preview works the list fills the dialog; when it is done the two share it.
    void SetWorking(bool working)
    {
        FWorking = working;
        if (working) {
            gtk_spinner_start(GTK_SPINNER(FSpinner));
            gtk_widget_hide(FPreviewScroll);
        } else {
            gtk_spinner_stop(GTK_SPINNER(FSpinner));
            gtk_widget_show(FPreviewScroll);
            gtk_paned_set_position(GTK_PANED(FPaned), gtk_widget_get_allocated_width(FPaned) / 2);
        }
    }

    void Accept()
    {
        if (FWorking) {
            GtkWidget* question = MessageBox(GTK_WINDOW(FWindow), GTK_MESSAGE_QUESTION, FTexts(1), FTexts(3));
            const TTexts buttons = Table(kButtonTable);
            gtk_dialog_add_button(GTK_DIALOG(question), buttons(1).c_str(), GTK_RESPONSE_YES);
            GtkWidget* no = gtk_dialog_add_button(GTK_DIALOG(question), buttons(2).c_str(), GTK_RESPONSE_NO);
            gtk_dialog_set_default_response(GTK_DIALOG(question), GTK_RESPONSE_NO);
            gtk_widget_grab_focus(no);
            const int answer = gtk_dialog_run(GTK_DIALOG(question));
            gtk_widget_destroy(question);
            if (answer != GTK_RESPONSE_YES) {
                gtk_widget_grab_focus(FTree);
                return;
            }
        }
        Close(FocusedIndex());
    }

    void Close(int result)
    {
        FResult = result;
        if (FLoop && g_main_loop_is_running(FLoop))
            g_main_loop_quit(FLoop);
    }

    TXmlDoc& FList;
    TTexts FTexts;
    TTexts FViewer;
    GtkWidget* FWindow = nullptr;
    GtkWidget* FPaned = nullptr;
    GtkWidget* FTree = nullptr;
    GtkWidget* FPreviewScroll = nullptr;
    GtkWidget* FPreviewText = nullptr;
    GtkWidget* FSpinner = nullptr;
    GtkWidget* FAccept = nullptr;
    GtkTreeStore* FStore = nullptr;
    GMainLoop* FLoop = nullptr;
    int FResult = -1;
    std::string FLastPreviewed;
    int FGeneration = 0;
    bool FWorking = false;
    std::shared_ptr<TPreviewShared> FShared;
    std::thread FWorker;
    std::shared_ptr<bool> FAlive = std::make_shared<bool>(true);
};

// ==================================================================== PIN and viewer

std::string Substitute(std::string text, std::string_view value)
{
    if (const size_t at = text.find("%s"); at != std::string::npos)
        text.replace(at, 2, value);
    return text;
}

std::optional<UnitNssCore::TSecretString> AskPin(std::string_view tokenName, bool retry)
{
    if (!EnsureGtk())
        return std::nullopt;
    const TTexts texts = Table(kPinTable);
    GtkWidget* dialog = gtk_dialog_new();
    gtk_window_set_title(GTK_WINDOW(dialog), texts(1).c_str());
    gtk_window_set_modal(GTK_WINDOW(dialog), TRUE);
    gtk_window_set_position(GTK_WINDOW(dialog), GTK_WIN_POS_CENTER);
    gtk_window_set_keep_above(GTK_WINDOW(dialog), TRUE);
    gtk_window_set_resizable(GTK_WINDOW(dialog), FALSE);
    gtk_container_set_border_width(GTK_CONTAINER(dialog), 10);
    if (GdkPixbuf* icon = PictureOf("DerovArazCertificateSelectorPrompt", "ICO")) {
        gtk_window_set_icon(GTK_WINDOW(dialog), icon);
        g_object_unref(icon);
    }
    GtkWidget* area = gtk_dialog_get_content_area(GTK_DIALOG(dialog));
    gtk_box_set_spacing(GTK_BOX(area), 8);
    GtkWidget* label = gtk_label_new(Substitute(texts(retry ? 3 : 2), ForGtk(std::string(tokenName))).c_str());
    gtk_label_set_xalign(GTK_LABEL(label), 0);
    gtk_label_set_line_wrap(GTK_LABEL(label), TRUE);
    gtk_box_pack_start(GTK_BOX(area), label, FALSE, FALSE, 0);
    GtkWidget* entry = gtk_entry_new();
    gtk_entry_set_visibility(GTK_ENTRY(entry), FALSE);
    gtk_entry_set_input_purpose(GTK_ENTRY(entry), GTK_INPUT_PURPOSE_PIN);
    gtk_entry_set_activates_default(GTK_ENTRY(entry), TRUE);
    gtk_box_pack_start(GTK_BOX(area), entry, FALSE, FALSE, 0);
    gtk_dialog_add_button(GTK_DIALOG(dialog), texts(12).c_str(), GTK_RESPONSE_CANCEL);
    gtk_dialog_add_button(GTK_DIALOG(dialog), texts(11).c_str(), GTK_RESPONSE_OK);
    gtk_dialog_set_default_response(GTK_DIALOG(dialog), GTK_RESPONSE_OK);
    gtk_widget_show_all(dialog);
    gtk_widget_grab_focus(entry);
    const int answer = gtk_dialog_run(GTK_DIALOG(dialog));
    std::optional<UnitNssCore::TSecretString> pin;
    if (answer == GTK_RESPONSE_OK)
        pin.emplace(gtk_entry_get_text(GTK_ENTRY(entry)));
    gtk_entry_set_text(GTK_ENTRY(entry), "");
    gtk_widget_destroy(dialog);
    SettleWindows();
    return pin;
}

bool ShowCertificate(std::span<const uint8_t> der)
{
    const auto lines = UnitCertificateReport::Build(der);
    if (!lines || !EnsureGtk())
        return false;
    const TTexts texts = Table(kViewerTable);
    GtkWidget* dialog = gtk_dialog_new();
    gtk_window_set_title(GTK_WINDOW(dialog), texts(1).c_str());
    gtk_window_set_modal(GTK_WINDOW(dialog), TRUE);
    gtk_window_set_default_size(GTK_WINDOW(dialog), 560, 420);
    gtk_window_set_position(GTK_WINDOW(dialog), GTK_WIN_POS_CENTER);
    gtk_window_set_type_hint(GTK_WINDOW(dialog), GDK_WINDOW_TYPE_HINT_DIALOG);
    gtk_container_set_border_width(GTK_CONTAINER(dialog), 10);
    if (GdkPixbuf* icon = PictureOf("DerovArazCertificateSelectorPrompt", "ICO")) {
        gtk_window_set_icon(GTK_WINDOW(dialog), icon);
        g_object_unref(icon);
    }
    GtkWidget* view = gtk_text_view_new();
    gtk_text_view_set_editable(GTK_TEXT_VIEW(view), FALSE);
    gtk_text_view_set_wrap_mode(GTK_TEXT_VIEW(view), GTK_WRAP_WORD_CHAR);
    gtk_text_view_set_left_margin(GTK_TEXT_VIEW(view), 6);
    gtk_text_buffer_set_text(gtk_text_view_get_buffer(GTK_TEXT_VIEW(view)),
                             UnitCertificateReport::Format(*lines, texts).c_str(), -1);
    GtkWidget* scroll = gtk_scrolled_window_new(nullptr, nullptr);
    gtk_scrolled_window_set_shadow_type(GTK_SCROLLED_WINDOW(scroll), GTK_SHADOW_IN);
    gtk_container_add(GTK_CONTAINER(scroll), view);
    gtk_box_pack_start(GTK_BOX(gtk_dialog_get_content_area(GTK_DIALOG(dialog))), scroll, TRUE, TRUE, 0);
    gtk_dialog_add_button(GTK_DIALOG(dialog), texts(11).c_str(), GTK_RESPONSE_CLOSE);
    gtk_dialog_set_default_response(GTK_DIALOG(dialog), GTK_RESPONSE_CLOSE);
    gtk_widget_show_all(dialog);
    gtk_dialog_run(GTK_DIALOG(dialog));
    gtk_widget_destroy(dialog);
    SettleWindows();
    return true;
}

}  // namespace

void Install()
{
    if (!UnitCertificateSelector::DisplayAvailable())
        return;
    UnitCertificateSelector::SetDialogRunner(RunCertificateDialog);
    UnitNssCore::SetPinPrompt(AskPin);
#if DORVIK_HAVE_CERTIFICATE_STORES
    UnitCertificates::SetDisplayHook(ShowCertificate);
#endif
}

bool Initialised()
{
    return GtkState() == 1;
}

void DispatchPending()
{
    if (!Initialised())
        return;
    while (gtk_events_pending())
        gtk_main_iteration_do(FALSE);
}

std::string OriginLine(const std::string& origin)
{
    if (origin.empty())
        return {};
    // Display text only: no control characters, valid UTF-8, a length that fits the line.
    std::string clean;
    for (const char c : origin)
        if (static_cast<unsigned char>(c) >= 0x20 && c != 0x7F)
            clean.push_back(c);
    clean = ForGtk(std::move(clean));
    constexpr glong MaxCharacters = 100;
    if (g_utf8_strlen(clean.c_str(), -1) > MaxCharacters) {
        const char* end = g_utf8_offset_to_pointer(clean.c_str(), MaxCharacters - 1);
        clean = std::string(clean.c_str(), end) + "\u2026";
    }
    if (clean.empty())
        return {};
    std::string text = Table(kSelectorTable)(25);
    if (text.find("%s") == std::string::npos)
        text = "%s";
    return Substitute(std::move(text), clean);
}

int RunCertificateDialog(TXmlDoc& list)
{
    if (!EnsureGtk())
        return -1;
    if (list.GetNodeCount() == 0) {
        const TTexts texts = Table(kSelectorTable);
        const char* application = g_get_application_name();
        GtkWidget* box = MessageBox(nullptr, GTK_MESSAGE_INFO, application ? application : "", texts(2));
        gtk_dialog_add_button(GTK_DIALOG(box), Table(kButtonTable)(3).c_str(), GTK_RESPONSE_OK);
        gtk_dialog_run(GTK_DIALOG(box));
        gtk_widget_destroy(box);
        SettleWindows();
        return -1;
    }
    TCertificateDialog dialog(list);
    return dialog.Run();
}

}  // namespace UnitGtkDialogs

extern "C" DORVIK_API void DispatchPendingEvents() noexcept
{
    try {
        UnitGtkDialogs::DispatchPending();
    } catch (...) {
    }
}
