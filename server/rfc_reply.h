// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "ostrevan/export.h"
#include "ostrevan/runtime/collection.h"
#include "ostrevan/runtime/string_list.h"

namespace ostrevan {

/// A numbered protocol reply: a numeric code and lines of text, written as
/// "250-first\r\n250 last\r\n". Standalone (collection nullptr) or an item of
/// a TIdRFCReplies. No lock: reading one from several threads at once is
/// safe, changing it is not.
class OSTREVAN_EXPORT TIdRFCReply : public TCollectionItem {
 public:
  /// An empty reply, added to ACollection when given.
  explicit TIdRFCReply(TCollection* ACollection = nullptr);

  ///@{
  /// 0 means no code. Setting a code above 0 also sets TextCode to it in
  /// decimal; 0 or below leaves TextCode as it was.
  int32_t NumericCode() const { return NumericCode_; }
  void SetNumericCode(int32_t value);
  ///@}
  /// One entry per line, without line ends. The setter copies the lines.
  const TStringList& Text() const { return Text_; }
  ///@{
  /// The reply's lines.
  TStringList& Text() { return Text_; }
  void SetText(const TStringList& value);
  ///@}
  ///@{
  /// The code as text, as read from a peer; it may be non-numeric ("+OK").
  /// Setting a non-empty text also sets NumericCode to its integer value, or
  /// 0 when it is not a number; the empty text leaves NumericCode alone.
  const std::string& TextCode() const { return TextCode_; }
  void SetTextCode(std::string value);
  ///@}

  /// Code 0, no lines, empty TextCode: the state of a new reply.
  void ClearReply();
  /// A code above 0 or at least one line: worth writing.
  bool HasContent() const;
  /// The text written to a peer. With a code above 0 every line is the code,
  /// "-" (a blank on the last line), the line and CR LF, or just the code and
  /// CR LF when there are no lines; without a code the bare lines each end
  /// with LF alone; an empty reply is the empty text. The code written is
  /// NumericCode, never TextCode.
  std::string FormatReply() const;
  /// Fills the reply from the lines of a received reply: the code from the
  /// first four characters of the first line, the text from the fifth
  /// character of every line on.
  void ParseLines(const TStringList& lines);
  /// Sets NumericCode to code without touching TextCode, and the lines to
  /// those of text, split at LF, CR and CR LF.
  void SetCodeAndText(int32_t code, std::string_view text);

 protected:
  /// Copies code, lines and text code as they are into another reply;
  /// any other target raises EConvertError "Cannot assign a ... to a ...".
  void AssignTo(TPersistent* dest) const override;

 private:
  int32_t NumericCode_ = 0;
  TStringList Text_;
  std::string TextCode_;
};

/// A catalogue of replies by code, from which a reply that has only a code
/// takes its text. Set up before its server is active; no lock.
class OSTREVAN_EXPORT TIdRFCReplies : public TOwnedCollection<TIdRFCReply> {
 public:
  /// An empty list of reply texts of AOwner.
  explicit TIdRFCReplies(TPersistent* AOwner);

  /// The first item, in index order, with that numeric code, or nullptr.
  virtual TIdRFCReply* FindByCode(int32_t code) const;
  /// Gives a reply without lines the lines of the catalogue's reply of the
  /// same code, if there is one; its codes stay as they are. A reply that has
  /// lines is left alone.
  void CompleteReply(TIdRFCReply& reply) const;
};

}  // namespace ostrevan
