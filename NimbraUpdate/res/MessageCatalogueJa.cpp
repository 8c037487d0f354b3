// The program's Japanese message catalogue: ids and texts as the dialog shows them.
// Generated once from the product's text table; edit with care, the texts are byte-exact.
#include "MessageCatalogue.h"

namespace nimbra::res {

const CatalogueEntry kJapaneseCatalogue[] = {
    {101, u8"バージョン情報 NimbraUpdate(&A)..."},
    {500, u8"Nimbra ファームウェア アップデート"},
    {501, u8"Nimbraを１台だけUSB接続し、[アップデート]ボタンを押して下さい。"},
    {1000, u8"Nimbraがパソコンに接続されていません。NimbraをUSBでパソコンに接続してください。"},
    {1001, u8"複数のNimbraがパソコンに接続されています。Nimbraを1台だけUSB接続してください。"},
    {1003, u8"アップデート失敗(%d)"},
    {1004, u8"アップデート完了"},
    {1005, u8"アップデート処理中に終了すると、Nimbraは正常に動作しなくなります。\n終了しますか？"},
    {1006, u8"もう一度アップデートを行ってください。"},
    {1007, u8"シリアル番号取得エラー"},
    {1008, u8"ファームウェア更新の必要はありません。"},
    {1009, u8"バージョン確認エラー"},
    {1010, u8"ACアダプタ確認エラー"},
    {1011, u8"ACアダプタを接続してください。"},
    {1200, u8"iChipファームファイルオープンエラー"},
    {1201, u8"Webファームファイルオープンエラー"},
    {1202, u8"内部バッファエラー"},
    {1203, u8"iChipバージョンのミスマッチ"},
    {2000, u8"処理前"},
    {2001, u8"ファームウェア書き換えモード"},
    {2002, u8"通信の同期その１"},
    {2003, u8"ボーレートの変更"},
    {2004, u8"通信の同期その２"},
    {2005, u8"NimbraのCPU情報取得"},
    {2006, u8"メインファームウェアの消去"},
    {2007, u8"メインファームウェアの更新中[%d/100]"},
    {2008, u8"書き込みチェック[%d/100]"},
    {2009, u8"ファームウェア書き換えモードの終了"},
    {2010, u8"メインファームウェアの更新終了"},
    {2011, u8"term値異常"},
    {2020, u8"ネットワークファームウェアの更新中[%d/%d]"},
};

const std::size_t kJapaneseCatalogueSize = sizeof kJapaneseCatalogue / sizeof kJapaneseCatalogue[0];

}  // namespace nimbra::res
