/* dorvik: document signing library, C interface.
 *
 * Every function here has C linkage and never lets a C++ exception escape: a failure shows
 * as the documented failure result (an empty buffer, 0, or the conversion status). */
#ifndef DORVIK_H
#define DORVIK_H

#include <stdint.h>

#if defined(DORVIK_BUILDING)
#define DORVIK_API __attribute__((visibility("default")))
#else
#define DORVIK_API
#endif

#ifdef __cplusplus
#define DORVIK_NOEXCEPT noexcept
extern "C" {
#else
#define DORVIK_NOEXCEPT
#endif

/* The library's version as "major.minor.patch"; the text is static. */
DORVIK_API const char* DorvikVersion(void) DORVIK_NOEXCEPT;

/* Buffers. The library keeps one byte buffer and one text buffer per process, each with a
 * position. Prepare (re)creates both empty; CloseStreams destroys them. The other buffer
 * functions do nothing and return 0 while no buffers exist. One caller at a time. */
DORVIK_API void Prepare(void) DORVIK_NOEXCEPT;
DORVIK_API void CloseStreams(void) DORVIK_NOEXCEPT;

/* Byte buffer: writes store at the position (overwriting, extending) and move past them. */
DORVIK_API void SetChunck(const void* bytes, int32_t count) DORVIK_NOEXCEPT;
DORVIK_API void AppendChunck(const void* bytes, int32_t count) DORVIK_NOEXCEPT;
DORVIK_API void AppendChunckByte(int32_t value) DORVIK_NOEXCEPT;
/* Copies up to count bytes from the start; returns how many. */
DORVIK_API int32_t GetChunck(void* bytes, int32_t count) DORVIK_NOEXCEPT;
/* Copies up to count bytes from offset; returns how many (0 past the end or for offset < 0). */
DORVIK_API int32_t ReadChunck(int32_t offset, int32_t count, void* bytes) DORVIK_NOEXCEPT;

/* Text buffer: text (up to its zero byte; length is ignored) is written at the position and
 * the text then ends after it. */
DORVIK_API void AppendTextChunck(const char* text, int32_t length) DORVIK_NOEXCEPT;
/* Copies up to count bytes from offset (clamped to the text), without terminator. */
DORVIK_API int32_t ReadTextChunck(int32_t offset, int32_t count, char* bytes) DORVIK_NOEXCEPT;

DORVIK_API int32_t CopyTextToBinary(void) DORVIK_NOEXCEPT;
DORVIK_API int32_t CopyBinaryToText(void) DORVIK_NOEXCEPT;

/* The whole byte buffer encoded with encoding number n into the text buffer; returns its size. */
DORVIK_API int32_t Encode(int32_t encoding) DORVIK_NOEXCEPT;
/* The whole text buffer decoded with encoding number n into the byte buffer (empty when the
 * text is rejected); returns its size. */
DORVIK_API int32_t Decode(int32_t encoding) DORVIK_NOEXCEPT;
/* Applies a conversion template to the whole text buffer, which then holds the output (empty
 * when the conversion fails); returns the text size. */
DORVIK_API int32_t Transform(const char* templateText) DORVIK_NOEXCEPT;

/* Files. Names may hold folder macros. Loading returns the buffer size (0 for a missing file);
 * saving writes a temporary file and moves it over the target, returning the size saved or 0. */
DORVIK_API int32_t LoadBinaryFromFile(const char* fileName) DORVIK_NOEXCEPT;
DORVIK_API int32_t SaveBinaryToFile(const char* fileName) DORVIK_NOEXCEPT;
DORVIK_API int32_t LoadTextFromFile(const char* fileName) DORVIK_NOEXCEPT;
DORVIK_API int32_t SaveTextToFile(const char* fileName) DORVIK_NOEXCEPT;

/* Writes the upper-case hex digest of the file at the text position (0 MD5, 1 SHA-1, 2 MD2,
 * 3 MD4, 4 SHA-224, 5 SHA-256, 6 SHA-384, 7 SHA-512, 8 RIPEMD-160); returns the text size. */
DORVIK_API int32_t HashFile(const char* fileName, int32_t algorithm) DORVIK_NOEXCEPT;

/* Copies the conversion status ("OK" or an error word) and a zero byte into buffer, which
 * holds size + 1 bytes; returns its length, or minus its length when it does not fit. */
DORVIK_API int32_t GetError(char* buffer, int32_t size) DORVIK_NOEXCEPT;

/* Pictures through FreeImage (0 / unchanged buffer when it is not installed). */
DORVIK_API int32_t LoadImageFromFile(const char* fileName, int32_t maxSide) DORVIK_NOEXCEPT;
DORVIK_API void RescaleImage(int32_t width, int32_t height) DORVIK_NOEXCEPT;

/* Lets the user choose the signing certificate (a dialog; unattended through DORVIK_SELECT).
 * Returns 1 and writes the certificate code and a zero byte into buffer, which must hold
 * size + 1 bytes, when a certificate was chosen and its code fits in size characters; returns 0
 * otherwise and leaves buffer untouched. */
DORVIK_API int32_t SelectSignerCertificate(char* buffer, int32_t size) DORVIK_NOEXCEPT;

/* SelectSignerCertificate for a request made on behalf of someone the person should see: the
 * dialog shows origin (UTF-8 display text, such as a web page's "https://example.gov.br") above
 * the list. A null or empty origin shows the dialog as SelectSignerCertificate does. The origin
 * changes nothing else. */
DORVIK_API int32_t SelectSignerCertificateFor(const char* origin, char* buffer, int32_t size) DORVIK_NOEXCEPT;

/* Handles the desktop's pending events for the library's windows (a closed dialog disappearing,
 * repaints) without waiting. A program with its own loop calls it on each pass once a dialog may
 * have been shown; it does nothing while no window was ever opened. */
DORVIK_API void DispatchPendingEvents(void) DORVIK_NOEXCEPT;

/* Plugin entry. The library's actions answer XML requests whose root element is named with an
 * action identifier (an OID under 1.3.6.1.4.1.61524.3.1.2.1.1). Results go into *status:
 *   code 1 (load), 2 (unload): -1.
 *   code 101 (request): data is the request's XML text ending with a zero byte (*length, when
 *     above 0, bounds it). When an action answered with a response, *status is its ticket
 *     (1001 and up) and *length the response text's length; otherwise *status is the run's
 *     status (0 when no action handled the request) and *length is left as it was.
 *   code >= 1000 (fetch): code is a ticket and data a buffer of *length + 1 bytes. When the
 *     response stored under the ticket is exactly *length bytes long, it is copied with a zero
 *     byte, forgotten, and *status is -1; otherwise *status is 0 and the response stays.
 *   any other code: 0. */
DORVIK_API void PluginProc(int32_t code, void* data, int32_t* length, int32_t* status) DORVIK_NOEXCEPT;
/* ---- XML trees by handle ----
 *
 * CreateXml gives a handle (1, 2, 3, ... in creation order, never reused while the library is
 * loaded; 0 on failure) to an empty tree. Nodes are addressed by paths with "\" between steps
 * ("A\B", "{2}" for the third child, "{0:Item}" for the first Item); the empty path is the
 * root. Every path names a node: missing steps are created, for reading functions too.
 * Name steps, DeleteNode and DeleteProperty compare names ignoring letter case;
 * GetNodeCount, GetNodeIndex and GetPropertyIndex compare them exactly.
 *
 * Text out (GetNodeName, GetNodeValue, GetNodePropertyName, GetNodePropertyValue): buffer holds
 * size + 1 bytes. The full length of the text is returned; the text and a zero byte are copied
 * only when size is at least that length. Call again with a larger buffer otherwise.
 *
 * A handle that is not registered makes a function do nothing and return 0 (-1 for NewNode,
 * GetNodeIndex and GetPropertyIndex). A failure inside a function gives the same result and
 * leaves its word in the conversion status (GetError): "ConvertError" for a path whose brace
 * index is not a number, "OutOfMemory", "XmlOperationFailed". */
DORVIK_API int32_t CreateXml(void) DORVIK_NOEXCEPT;
DORVIK_API void DestroyXml(int32_t handle) DORVIK_NOEXCEPT;
/* Children of the node; with a non-empty name only those of exactly that name. */
DORVIK_API int32_t GetNodeCount(int32_t handle, const char* path, const char* name) DORVIK_NOEXCEPT;
/* Appends a child; returns its index. */
DORVIK_API int32_t NewNode(int32_t handle, const char* path, const char* name) DORVIK_NOEXCEPT;
DORVIK_API void SetNodeName(int32_t handle, const char* path, const char* name) DORVIK_NOEXCEPT;
DORVIK_API int32_t GetNodeName(int32_t handle, const char* path, char* buffer, int32_t size) DORVIK_NOEXCEPT;
DORVIK_API void SetNodeValue(int32_t handle, const char* path, const char* value) DORVIK_NOEXCEPT;
DORVIK_API int32_t GetNodeValue(int32_t handle, const char* path, char* buffer, int32_t size) DORVIK_NOEXCEPT;
DORVIK_API int32_t GetNodePropertyCount(int32_t handle, const char* path) DORVIK_NOEXCEPT;
/* Properties by index: an index out of range first appends an unnamed property. */
DORVIK_API void SetNodePropertyName(int32_t handle, const char* path, int32_t index, const char* name) DORVIK_NOEXCEPT;
DORVIK_API int32_t GetNodePropertyName(int32_t handle, const char* path, int32_t index, char* buffer, int32_t size) DORVIK_NOEXCEPT;
/* Properties by name (created when missing, also when read). */
DORVIK_API void SetNodePropertyValue(int32_t handle, const char* path, const char* propName, const char* value) DORVIK_NOEXCEPT;
DORVIK_API int32_t GetNodePropertyValue(int32_t handle, const char* path, const char* propName, char* buffer,
                                        int32_t size) DORVIK_NOEXCEPT;
/* The prepared text of the handle: the node's XML, its children's XML, or the output of a
 * conversion template run over the node's XML (empty when the conversion fails). Each returns
 * the prepared text's length; the text stays until the next of these calls or DestroyXml. */
DORVIK_API int32_t PrepareXml(int32_t handle, const char* path) DORVIK_NOEXCEPT;
DORVIK_API int32_t PrepareChildrenXml(int32_t handle, const char* path) DORVIK_NOEXCEPT;
DORVIK_API int32_t TransformXml(int32_t handle, const char* path, const char* templateText) DORVIK_NOEXCEPT;
/* Copies the prepared text cut to at most size bytes, and a zero byte; returns the copied length. */
DORVIK_API int32_t GetXml(int32_t handle, char* buffer, int32_t size) DORVIK_NOEXCEPT;
/* The node replaced by the first element of text / its children replaced by the elements of text. */
DORVIK_API void SetXml(int32_t handle, const char* path, const char* text) DORVIK_NOEXCEPT;
DORVIK_API void SetChildrenXml(int32_t handle, const char* path, const char* text) DORVIK_NOEXCEPT;
/* Children sorted by name (hierarchy > 0: the whole subtree), or by a sort path
 * ("Date", ".Order", "-Item.Size" descending). */
DORVIK_API void SortNode(int32_t handle, const char* path, int32_t hierarchy) DORVIK_NOEXCEPT;
DORVIK_API void SortNode2(int32_t handle, const char* path, const char* sortPath) DORVIK_NOEXCEPT;
/* File storage of the node (folder macros apply; saving is safe). 1 for a known handle whatever
 * the outcome, 0 otherwise. */
DORVIK_API int32_t LoadFromFile(int32_t handle, const char* path, const char* fileName) DORVIK_NOEXCEPT;
DORVIK_API int32_t SaveToFile(int32_t handle, const char* path, const char* fileName) DORVIK_NOEXCEPT;
DORVIK_API void DeleteNode(int32_t handle, const char* path, const char* name) DORVIK_NOEXCEPT;
DORVIK_API int32_t GetNodeIndex(int32_t handle, const char* path, const char* name) DORVIK_NOEXCEPT;
DORVIK_API void DeleteProperty(int32_t handle, const char* path, const char* propName) DORVIK_NOEXCEPT;
DORVIK_API int32_t GetPropertyIndex(int32_t handle, const char* path, const char* propName) DORVIK_NOEXCEPT;
/* ---- end of XML trees by handle ---- */

#ifdef __cplusplus
}
#endif

#endif
