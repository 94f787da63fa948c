// SPDX-License-Identifier: BSD-2-Clause
#pragma once

#include "base/bytes.h"
#include "tftp/transfer.h"

// What DATA, ACK, OACK and ERROR do to the transfer they belong to.

void handle_data(tftp_request_t &request, bytes_t body, tftp_msg_t &msg);
void handle_ack(tftp_request_t &request, bytes_t body, tftp_msg_t &msg);
void handle_oack(tftp_request_t &request, bytes_t body, tftp_msg_t &msg);
void handle_error(bytes_t body, tftp_msg_t &msg);
