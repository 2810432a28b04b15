/*
 * vycsdk.h - C interface of the SDK library libvy3-c.so.
 *
 * The declarations are grouped by calling shape, one row per function, as
 * X-macro lists: the header expands each list into ordinary prototypes, and the
 * stand-in library expands the same lists into its recording bodies, so the two
 * cannot drift apart.  Every function here is a plain C function with C linkage.
 *
 * Ownership: requests and texts passed in are valid only during the call; the
 * library copies what it keeps.  Response buffers and returned texts stay owned
 * by the library and are valid until the next call into it.
 */
#ifndef VYCSDK_H
#define VYCSDK_H

#ifndef __cplusplus
#include <stdbool.h>
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Event callback: msg_type is NUL-terminated text, data points to data_len
 * bytes owned by the library and valid only for the duration of the call.  The
 * library calls it only on a thread that is inside a call into the library. */
typedef void (*EventCallback)(const char *msg_type, void *data, int data_len);

void vyi_set_event_callback_pb(EventCallback cb);

/* Serialized-query shape: int f(void *req, int req_len, void **res, int *res_len).
 * On success the library sets *res and *res_len. */
#define VYCSDK_QUERY_FUNCS(Q) \
    Q(vyi_current_price_pb) \
    Q(vyi_place_order_pb) \
    Q(vyi_last_tick_pb) \
    Q(vyi_get_unfinished_orders_pb) \
    Q(vyi_get_orders_pb) \
    Q(vyi_close_all_positions_pb) \
    Q(vyi_get_execution_reports_pb) \
    Q(vyi_get_cash_pb) \
    Q(vyi_get_positions_pb) \
    Q(vyi_get_account_status_pb) \
    Q(vyi_raw_func_pb) \
    Q(vyi_repay_cash_directly_pb) \
    Q(vyi_get_collateral_instruments_pb) \
    Q(vyi_get_borrowable_instruments_pb) \
    Q(vyi_get_borrowable_instruments_positions_pb) \
    Q(vyi_get_credit_contracts_pb) \
    Q(vyi_get_credit_cash_pb) \
    Q(vyi_get_ipo_quota_pb) \
    Q(vyi_get_ipo_instruments_pb) \
    Q(vyi_get_ipo_match_number_pb) \
    Q(vyi_get_ipo_lot_info_pb) \
    Q(vyi_get_parameters_pb) \
    Q(vyi_history_ticks_l2_pb) \
    Q(vyi_history_bars_l2_pb) \
    Q(vyi_history_transaction_l2_pb) \
    Q(vyi_place_algo_orders_pb) \
    Q(vyi_get_algo_orders_pb) \
    Q(vyi_history_order_l2_pb) \
    Q(vyi_history_order_queue_l2_pb) \
    Q(vyi_get_entrustable_volume_by_symbol_pb) \
    Q(vyi_get_symbol_infos) \
    Q(vyi_get_symbols_v2) \
    Q(vyi_get_history_symbol) \
    Q(vyi_get_trading_session) \
    Q(vyi_get_contract_expire_rest_days) \
    Q(vyi_stk_get_industry_category) \
    Q(vyi_stk_get_industry_constituents) \
    Q(vyi_stk_get_symbol_industry) \
    Q(vyi_stk_get_sector_category) \
    Q(vyi_stk_get_sector_constituents) \
    Q(vyi_stk_get_symbol_sector) \
    Q(vyi_stk_get_index_constituents) \
    Q(vyi_stk_get_index_history_constituents) \
    Q(vyi_stk_get_dividend) \
    Q(stk_get_ration) \
    Q(vyi_stk_get_adj_factor) \
    Q(vyi_stk_get_shareholder_num) \
    Q(vyi_stk_get_top_shareholder) \
    Q(vyi_stk_get_share_change) \
    Q(vyi_stk_get_fundamentals_balance) \
    Q(vyi_stk_get_fundamentals_balance_pt) \
    Q(vyi_stk_get_fundamentals_cashflow) \
    Q(vyi_stk_get_fundamentals_cashflow_pt) \
    Q(vyi_stk_get_fundamentals_income) \
    Q(vyi_stk_get_fundamentals_income_pt) \
    Q(vyi_stk_get_finance_prime) \
    Q(vyi_stk_get_finance_prime_pt) \
    Q(vyi_stk_get_finance_deriv) \
    Q(vyi_stk_get_finance_deriv_pt) \
    Q(vyi_stk_get_daily_valuation) \
    Q(vyi_stk_get_daily_valuation_pt) \
    Q(vyi_stk_get_daily_mktvalue) \
    Q(vyi_stk_get_daily_mktvalue_pt) \
    Q(vyi_stk_get_daily_basic) \
    Q(vyi_stk_get_daily_basic_pt) \
    Q(vyi_fut_get_continuous_contracts) \
    Q(vyi_fut_get_contract_info) \
    Q(vyi_fut_get_transaction_ranking) \
    Q(vyi_fut_get_transaction_rankings) \
    Q(vyi_fut_get_warehouse_receipt) \
    Q(vyi_fnd_get_etf_components) \
    Q(vyi_fnd_get_portfolio) \
    Q(vyi_fnd_get_net_value) \
    Q(vyi_fnd_get_adj_factor) \
    Q(vyi_fnd_get_dividend) \
    Q(vyi_fnd_get_split) \
    Q(vyi_bnd_get_conversion_price) \
    Q(vyi_bnd_get_call_info) \
    Q(vyi_bnd_get_put_info) \
    Q(vyi_bnd_get_amount_change) \
    Q(vyi_get_trading_dates_by_year) \
    Q(vyi_option_comb_entrust_pb) \
    Q(vyi_option_sep_entrust_pb) \
    Q(vyi_get_option_combinable_pb) \
    Q(vyi_get_option_comb_position_pb) \
    Q(vyi_get_fundamentals) \
    Q(vyi_get_fundamentals_n) \
    Q(vyi_get_instrumentInfos) \
    Q(vyi_get_fuzzy_match_instrumentInfos) \
    Q(vyi_get_history_instruments) \
    Q(vyi_get_constituents) \
    Q(vyi_get_sector) \
    Q(vyi_get_industry) \
    Q(vyi_get_concept) \
    Q(vyi_get_trading_dates) \
    Q(vyi_get_previous_trading_date) \
    Q(vyi_get_next_trading_date) \
    Q(vyi_get_dividends) \
    Q(vyi_get_dividends_snapshot) \
    Q(vyi_get_continuous_contracts) \
    Q(vyi_get_varietyinfos) \
    Q(vyi_get_trading_time) \
    Q(vyi_option_get_symbols_by_exchange) \
    Q(vyi_option_get_symbols_by_in_at_out) \
    Q(vyi_option_get_delisted_dates) \
    Q(vyi_option_get_exercise_prices) \
    Q(vyi_history_ticks_pb) \
    Q(vyi_history_bars_pb) \
    Q(vyi_history_ticks_n_pb) \
    Q(vyi_history_bars_n_pb) \
    Q(vyi_get_instruments) \
    Q(vyi_get_trading_times_ext) \
    Q(vyi_get_convertible_bond_call_info) \
    Q(vyi_get_previous_n_trading_dates) \
    Q(vyi_get_next_n_trading_dates) \
    Q(vyi_stk_abnor_change_stocks) \
    Q(vyi_stk_abnor_change_detail) \
    Q(vyi_stk_quota_shszhk_infos) \
    Q(vyi_stk_hk_inst_holding_detail_info) \
    Q(vyi_stk_hk_inst_holding_info) \
    Q(vyi_stk_active_stock_top10_shszhk_info) \
    Q(vyi_stk_get_money_flow) \
    Q(vyi_stk_get_finance_audit) \
    Q(vyi_stk_get_finance_forecast) \
    Q(vyi_fnd_get_share) \
    Q(vyi_bnd_get_analysis) \
    Q(vyi_get_cash_pb_v2) \
    Q(vyi_get_positions_pb_v2) \
    Q(vyi_get_instrument_pool_by_name_pb) \
    Q(vyi_get_instrument_pools_pb) \
    Q(vyi_get_open_call_auction)

/* Serialized-command shape: int f(void *req, int req_len). */
#define VYCSDK_COMMAND_FUNCS(C) \
    C(vyi_cancel_all_orders_pb) \
    C(vyi_cancel_orders_pb) \
    C(vyi_add_parameters_pb) \
    C(vyi_set_parameters_pb) \
    C(vyi_log_pb) \
    C(vyi_cancel_algo_orders_pb) \
    C(vyi_pause_algo_orders_pb) \
    C(vyi_set_instrument_pool_symbols_pb) \
    C(vyi_del_instrument_pool_by_name_pb)

/* Secrets (credentials, keys, the encrypted token) are marked in the argument
 * names of the list below: VYCSDK_SECRET(name) marks a parameter,
 * VYCSDK_SECRET() as the only entry marks the returned text.  By default the
 * mark is the name itself (and nothing for the result), so an expansion that
 * passes the argument names on gets the plain names; the recording library
 * defines it first to keep secrets out of its recordings. */
#ifndef VYCSDK_SECRET
#define VYCSDK_SECRET(name) name
#endif

/* Every other function: X(return type, name, (parameters), (argument names)). */
#define VYCSDK_TYPED_FUNCS(X) \
    /* status texts */ \
    X(const char *, vyi_strerror, (int errorno), (errorno)) \
    X(const char *, vyi_get_ext_errormsg, (void), ()) \
    /* session, identity and connection settings */ \
    X(int, vyi_get_serv_addr, (const char *serv_id, char **addr), (serv_id, addr)) \
    X(void, vyi_set_strategy_id, (const char *strategy_id), (strategy_id)) \
    X(int, vyi_set_token, (const char *token), (VYCSDK_SECRET(token))) \
    X(const char *, vyi_get_encrypted_token, (void), (VYCSDK_SECRET())) \
    X(const char *, vyi_get_orgcode, (void), ()) \
    X(void, vyi_set_mfp, (const char *mfp), (mfp)) \
    X(void, vyi_set_apitoken, (const char *token), (VYCSDK_SECRET(token))) \
    X(void, vyi_set_serv_addr, (const char *addr), (addr)) \
    X(void, vyi_set_ctp_md_info, (const char *front_addresses, const char *user_name, const char *password), (front_addresses, user_name, VYCSDK_SECRET(password))) \
    X(int, vyi_get_account_info_pb, (void **res, int *res_len), (res, res_len)) \
    X(void, vyi_set_version, (const char *sdk_version, const char *sdk_lang, const char *arg3, const char *arg4), (sdk_version, sdk_lang, arg3, arg4)) \
    X(void, vyi_set_serv_addr_v5, (const char *addr, const char *orgcode, const char *site_id), (addr, orgcode, site_id)) \
    X(void, vyi_set_account_id, (const char *account_ids), (account_ids)) \
    X(void, vyi_set_simtrade_only, (void), ()) \
    X(int, vyi_use_dsproxy, (void), ()) \
    /* run control, subscriptions, timers and current snapshot */ \
    X(int, vyi_run, (void), ()) \
    X(int, vyi_stop, (void), ()) \
    X(int, vyi_get_stop_error_code, (void), ()) \
    X(int, vyi_subscribe, (const char *symbols, const char *frequency, bool unsubscribe_previous), (symbols, frequency, unsubscribe_previous)) \
    X(int, vyi_unsubscribe, (const char *symbols, const char *frequency), (symbols, frequency)) \
    X(int, vyi_schedule, (const char *date_rule, const char *time_rule), (date_rule, time_rule)) \
    X(void, vyi_set_timer, (int interval), (interval)) \
    X(int, vyi_user_timer, (int period, int start_delay), (period, start_delay)) \
    X(void, vyi_user_timer_stop, (int timer_id), (timer_id)) \
    X(int, vyi_current_pb, (const char *symbols, bool include_call_auction, const char *fields, void **res, int *res_len), (symbols, include_call_auction, fields, res, res_len)) \
    /* backtest configuration */ \
    X(int, vyi_set_backtest_config, (const char *start_time, const char *end_time, double initial_cash, double transaction_ratio, double commission_ratio, double commission_unit, double slippage_ratio, double option_float_margin_ratio1, double option_float_margin_ratio2, int adjust, int match_mode, int check_cache), (start_time, end_time, initial_cash, transaction_ratio, commission_ratio, commission_unit, slippage_ratio, option_float_margin_ratio1, option_float_margin_ratio2, adjust, match_mode, check_cache)) \
    X(void, vyi_set_backtest_intraday, (int req), (req)) \
    X(void, vyi_set_backtest_threadnum, (int n), (n)) \
    X(void, vyi_set_max_wait_time, (int max_wait_time), (max_wait_time)) \
    /* algorithmic orders and smart re-ordering */ \
    X(int, vyi_algo_order_batch_pb, (void *req, int req_len, const char *algo_name, const char *algo_params, void **res, int *res_len), (req, req_len, algo_name, algo_params, res, res_len)) \
    X(int, vyi_get_child_orders_pb, (const char *account_id, const char *algo_id, void **res, int *res_len), (account_id, algo_id, res, res_len)) \
    X(int, vyi_smart_reorder, (const char *symbol, double price, int volume, int side, int order_type, int position_effect, int repeat_n, int max_price_offset, int time_out, int time_wait, const char *account), (symbol, price, volume, side, order_type, position_effect, repeat_n, max_price_offset, time_out, time_wait, account)) \
    X(int, vyi_smart_reorder_cancel, (int reorder_id), (reorder_id)) \
    /* message bus */ \
    X(void, vyi_set_bus_info, (const char *server_addr, const char *user_name, const char *password), (server_addr, user_name, VYCSDK_SECRET(password))) \
    X(void, vyi_set_bus_secure, (int in_mode, const char *tlsca, const char *tlscert, const char *tlskey, bool skip_verify), (in_mode, tlsca, tlscert, VYCSDK_SECRET(tlskey), skip_verify)) \
    X(void, vyi_add_bus_topic, (const char *topic), (topic)) \
    X(int, vyi_send_msg_to_bus, (const char *topic, const char *msg), (topic, msg)) \
    /* library-level calls */ \
    X(const char *, vyi_get_c_version, (void), ()) \
    X(int, vyi_init, (void), ()) \
    X(long long, vyi_now, (void), ()) \
    X(double, vyi_now_plus, (void), ()) \
    X(int, vyi_poll, (void), ()) \
    X(void, vyi_set_mode, (int mode), (mode))

#define VYCSDK_DECLARE_QUERY_(name) int name(void *req, int req_len, void **res, int *res_len);
#define VYCSDK_DECLARE_COMMAND_(name) int name(void *req, int req_len);
#define VYCSDK_DECLARE_TYPED_(ret, name, params, args) ret name params;

VYCSDK_QUERY_FUNCS(VYCSDK_DECLARE_QUERY_)
VYCSDK_COMMAND_FUNCS(VYCSDK_DECLARE_COMMAND_)
VYCSDK_TYPED_FUNCS(VYCSDK_DECLARE_TYPED_)

#undef VYCSDK_DECLARE_QUERY_
#undef VYCSDK_DECLARE_COMMAND_
#undef VYCSDK_DECLARE_TYPED_

#ifdef __cplusplus
}
#endif

#endif /* VYCSDK_H */
