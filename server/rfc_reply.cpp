// SPDX-License-Identifier: MIT
#include "ostrevan/server/rfc_reply.h"

#include "ostrevan/runtime/sysutils.h"

namespace ostrevan {

TIdRFCReply::TIdRFCReply(TCollection* ACollection) : TCollectionItem(ACollection) { ClearReply(); }

void TIdRFCReply::SetNumericCode(int32_t value) {
  NumericCode_ = value;
  if (value > 0) TextCode_ = IntToStr(value);
}

void TIdRFCReply::SetText(const TStringList& value) { Text_.Assign(&value); }

void TIdRFCReply::SetTextCode(std::string value) {
  TextCode_ = std::move(value);
  if (!TextCode_.empty()) NumericCode_ = StrToIntDef(TextCode_, 0);
}

void TIdRFCReply::ClearReply() {
  NumericCode_ = 0;
  Text_.Clear();
  TextCode_.clear();
}

bool TIdRFCReply::HasContent() const { return NumericCode_ > 0 || Text_.Count() > 0; }

std::string TIdRFCReply::FormatReply() const {
  std::string result;
  if (NumericCode_ > 0) {
    const std::string code = IntToStr(NumericCode_);
    if (Text_.Empty()) return code + "\r\n";
    for (int i = 0; i < Text_.Count(); ++i) {
      result += code;
      result += i + 1 < Text_.Count() ? '-' : ' ';
      result += Text_[i];
      result += "\r\n";
    }
    return result;
  }
  for (int i = 0; i < Text_.Count(); ++i) {
    result += Text_[i];
    result += '\n';
  }
  return result;
}

void TIdRFCReply::ParseLines(const TStringList& lines) {
  // Copied first: lines may be this reply's own Text.
  const TStringList received = lines;
  ClearReply();
  if (received.Empty()) return;
  std::string code = Trim(std::string_view(received[0]).substr(0, 4));
  if (code.size() == 4 && code[3] == '-') code.resize(3);
  SetTextCode(std::move(code));
  for (int i = 0; i < received.Count(); ++i) {
    const std::string& line = received[i];
    Text_.Add(line.size() > 4 ? line.substr(4) : std::string());
  }
}

void TIdRFCReply::SetCodeAndText(int32_t code, std::string_view text) {
  NumericCode_ = code;
  Text_.SetText(text);
}

void TIdRFCReply::AssignTo(TPersistent* dest) const {
  auto* target = dynamic_cast<TIdRFCReply*>(dest);
  if (target == nullptr) {
    TCollectionItem::AssignTo(dest);
    return;
  }
  // Clearing the target first would empty a reply assigned to itself.
  if (target == this) return;
  target->ClearReply();
  target->NumericCode_ = NumericCode_;
  target->Text_.Assign(&Text_);
  target->TextCode_ = TextCode_;
}

TIdRFCReplies::TIdRFCReplies(TPersistent* AOwner) : TOwnedCollection<TIdRFCReply>(AOwner) {}

TIdRFCReply* TIdRFCReplies::FindByCode(int32_t code) const {
  for (int i = 0; i < Count(); ++i) {
    if (Items(i)->NumericCode() == code) return Items(i);
  }
  return nullptr;
}

void TIdRFCReplies::CompleteReply(TIdRFCReply& reply) const {
  if (!reply.Text().Empty()) return;
  if (const TIdRFCReply* source = FindByCode(reply.NumericCode())) reply.SetText(source->Text());
}

}  // namespace ostrevan
