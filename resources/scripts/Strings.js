// The English texts that the tracking modules put into results. "%@" marks where the host
// puts a formatted date (in shippedText and deliveredText) or where Q.format puts a value.
// The host localises nothing of this; keep the texts short, they are shown as they are.

var S = {
  // Lines with a date
  shipped: 'Shipped %@',
  delivered: 'Delivered %@',
  expected: 'Expected %@',
  updated: 'Updated %@',
  checked: 'Checked %@',
  pageChanged: 'Page changed %@',
  unchangedSince: 'Unchanged since %@',

  // States
  inTransit: 'In transit',
  outForDelivery: 'Out for delivery',
  labelCreated: 'Label created, not yet shipped',
  exception: 'Delivery exception',
  returned: 'Returned to sender',
  notFound: 'Not found',
  notFoundText: 'The carrier has no information for this number yet',

  // Problems
  failed: 'Update failed',
  offline: 'No internet connection',
  serverError: 'The carrier\'s server answered with an error (%@)',
  unreadable: 'The carrier\'s answer could not be read',
  notSupported: 'This service is not supported',
  servicesOutdated: 'The tracking scripts need an update',
  credentialsRejected: 'The carrier refused the API credentials',
  refused: 'The carrier\'s site refused the request',
  rateLimited: 'Too many requests, trying again later',
  notSetUp: 'Tracking is not set up: this carrier needs API credentials',
  pageOnly: 'This carrier shows its tracking only on its own page',
  notWebAddress: 'Not a web address',
  signInRequired: 'Sign in to the shop to see this order',
  moduleError: 'The tracking script failed',

  // Progress while a carrier takes several requests
  signingIn: 'Signing in to the carrier',
  fetchingDetails: 'Fetching the tracking details',
};
